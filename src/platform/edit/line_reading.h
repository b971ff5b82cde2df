// What one reader makes of a line, decided unit by unit as the line goes
// past, so that no line is held, however long: a few units settle most
// lines, and what follows them only has to be looked through.
#ifndef KAVRO_PLATFORM_EDIT_LINE_READING_H_
#define KAVRO_PLATFORM_EDIT_LINE_READING_H_

#include <cstddef>
#include <string>

#include "platform/edit/entry_finding.h"
#include "platform/edit/profile_rules.h"

namespace profile {

// The entry's section, key and value as code units. The names have no
// blanks at their ends and no `]`, `=`, CR or LF, the key starts with
// neither `[` nor `;`, and the value reads as itself (IsWritable).
template <typename Char>
struct Wanted {
  std::basic_string<Char> section, key, value;
};

template <typename Rules, typename Char>
class LineReading {
 public:
  explicit LineReading(const Wanted<Char>& wanted) : wanted_(wanted) {}

  // A new line begins.
  void Start() {
    state_ = State::kLeading;
    at_ = 0;
    matched_ = 0;
    value_begin_found_ = false;
    plain_ = quoted_ = ValueMatch{};
    facts_ = LineFacts{};
  }

  // The line's next units, up to its ending.
  void Feed(Text<Char> units) {
    for (size_t i = 0; i < units.size() && state_ != State::kSettled; ++i) {
      if (state_ == State::kHeaderClosed || state_ == State::kHeaderOther ||
          state_ == State::kHeaderNulNamed) {
        // Only a `]` changes what the line is now.
        i = units.find(Char(']'), i);
        if (i == Text<Char>::npos) break;
      }
      Step(units[i], at_ + i);
    }
    at_ += units.size();
  }

  // The line has ended.
  const LineFacts& End() {
    switch (state_) {
      case State::kLeading:
        facts_.first = at_;
        break;
      case State::kHeaderName:
      case State::kHeaderTrail:
        if (Rules::kNameToLastBracket) break;  // no `]`: a key of another name
        facts_.kind = LineKind::kSection;
        facts_.names_section = matched_ == wanted_.section.size();
        break;
      case State::kHeaderClosed:
        facts_.names_section = true;
        break;
      case State::kKeyName:
      case State::kKeyTrail:
        if (matched_ != wanted_.key.size()) break;
        [[fallthrough]];
      case State::kKeyNulNamed:
        facts_.names_key = true;
        facts_.key_end = facts_.value_begin = facts_.first + matched_;
        break;
      case State::kValueLeading:
      case State::kValue:
        if (!value_begin_found_) facts_.value_begin = at_;
        facts_.set =
            plain_.Matched(wanted_.value.size()) || quoted_.Matched(wanted_.value.size() + 1);
        break;
      case State::kHeaderOther:
      case State::kHeaderNulNamed:  // no `]`: a key of another name
      case State::kSettled:
        break;
    }
    return facts_;
  }

 private:
  enum class State {
    kLeading,         // blanks so far
    kHeaderName,      // `[`, then the section's name up to `matched_`
    kHeaderTrail,     // all of the name, then blanks
    kHeaderClosed,    // the name, closed by `]`, and no `]` since
    kHeaderOther,     // no header of the name; for Wine a key unless a `]` comes
    kHeaderNulNamed,  // for Wine: the name, ended by a NUL; a header once a `]` comes
    kKeyName,         // the key's name up to `matched_`
    kKeyTrail,        // all of the name, then blanks
    kKeyNulNamed,     // for Wine: all of the name, ended by a NUL; `=` may follow
    kValueLeading,    // past the key's `=`, blanks so far
    kValue,           // in the key's value
    kSettled,         // nothing further on the line changes what it is
  };

  // One way the value may read as the entry's: the value itself, or the
  // value between a pair of quotes. `matched` counts the units matched; once
  // all are, only blanks may follow.
  struct ValueMatch {
    bool alive = true;
    size_t matched = 0;
    bool Matched(size_t whole) const { return alive && matched == whole; }
  };

  bool IsBlank(Char c) const { return Rules::IsBlank(c); }

  bool SameFolded(Char c, const std::basic_string<Char>& name) const {
    return matched_ < name.size() && FoldAsciiCase(c) == FoldAsciiCase(name[matched_]);
  }

  void Step(Char c, size_t at) {
    switch (state_) {
      case State::kLeading:
        if (IsBlank(c)) return;
        facts_.first = at;
        facts_.kind = LineKind::kKey;
        matched_ = 0;
        if (Rules::kHasComments && c == Char(';')) {
          facts_.kind = LineKind::kComment;
          state_ = State::kSettled;
        } else if (c == Char('[')) {
          if (!Rules::kNameToLastBracket) facts_.kind = LineKind::kSection;
          state_ = State::kHeaderName;
        } else {
          state_ = State::kKeyName;
          Step(c, at);
        }
        return;
      case State::kHeaderName:
      case State::kHeaderTrail:
        if (c == Char(']')) return CloseHeader(matched_ == wanted_.section.size());
        if (Rules::kNulEndsNames && c == Char(0)) {
          const bool named = state_ == State::kHeaderName && matched_ == wanted_.section.size();
          state_ = named ? State::kHeaderNulNamed : State::kHeaderOther;
          return;
        }
        if (SameFolded(c, wanted_.section) && state_ == State::kHeaderName) {
          ++matched_;
        } else if (IsBlank(c) && (matched_ == 0 || matched_ == wanted_.section.size())) {
          if (matched_ > 0) state_ = State::kHeaderTrail;
        } else {
          state_ = Rules::kNameToLastBracket ? State::kHeaderOther : State::kSettled;
        }
        return;
      case State::kHeaderClosed:
        // A further `]` puts the first one inside Wine's name.
        if (c == Char(']')) CloseHeader(false);
        return;
      case State::kHeaderOther:
        if (c == Char(']')) CloseHeader(false);
        return;
      case State::kHeaderNulNamed:
        // Whatever follows is past the end of Wine's name.
        if (c == Char(']')) {
          CloseHeader(true);
          state_ = State::kSettled;
        }
        return;
      case State::kKeyName:
      case State::kKeyTrail:
        if (Rules::kNulEndsNames && c == Char(0)) {
          const bool named = state_ == State::kKeyName && matched_ == wanted_.key.size();
          state_ = named ? State::kKeyNulNamed : State::kSettled;
          return;
        }
        if (c == Char('=') && matched_ == wanted_.key.size()) {
          facts_.names_key = facts_.has_equals = true;
          facts_.key_end = at;
          state_ = State::kValueLeading;
        } else if (SameFolded(c, wanted_.key) && state_ == State::kKeyName) {
          ++matched_;
        } else if (IsBlank(c) && matched_ == wanted_.key.size()) {
          state_ = State::kKeyTrail;
        } else {
          state_ = State::kSettled;  // a key of another name
        }
        return;
      case State::kKeyNulNamed:
        if (c == Char('=')) {
          facts_.names_key = facts_.has_equals = true;
          facts_.key_end = at;
          state_ = State::kValueLeading;
        }
        return;
      case State::kValueLeading:
      case State::kValue:
        return StepValue(c, at);
      case State::kSettled:
        return;
    }
  }

  // A `]` where the name so far is (`named`) or is not the section's.
  void CloseHeader(bool named) {
    facts_.kind = LineKind::kSection;
    state_ = named && Rules::kNameToLastBracket ? State::kHeaderClosed : State::kSettled;
    facts_.names_section = named;
  }

  void StepValue(Char c, size_t at) {
    if (!value_begin_found_ && !WindowsRules::IsBlank(c)) {
      value_begin_found_ = true;
      facts_.value_begin = at;
    }
    const std::basic_string<Char>& value = wanted_.value;
    if (state_ == State::kValueLeading) {
      if (IsBlank(c)) return;
      state_ = State::kValue;
      plain_ = {};
      quoted_ = {};
      opening_quote_ = c;
      quoted_.alive = c == Char('"') || c == Char('\'');
      plain_.alive = !value.empty() && c == value[0];
      plain_.matched = 1;
      return;
    }
    if (plain_.alive) {
      if (plain_.matched < value.size()) {
        plain_.alive = c == value[plain_.matched++];
      } else {
        plain_.alive = IsBlank(c);
      }
    }
    if (quoted_.alive) {
      if (quoted_.matched < value.size()) {
        quoted_.alive = c == value[quoted_.matched++];
      } else if (quoted_.matched == value.size()) {
        quoted_.alive = c == opening_quote_;
        ++quoted_.matched;
      } else {
        quoted_.alive = IsBlank(c);
      }
    }
    if (!plain_.alive && !quoted_.alive && value_begin_found_) state_ = State::kSettled;
  }

  const Wanted<Char>& wanted_;
  State state_ = State::kLeading;
  size_t at_ = 0;       // units of the line so far
  size_t matched_ = 0;  // of the name being matched
  bool value_begin_found_ = false;
  ValueMatch plain_, quoted_;
  Char opening_quote_{};
  LineFacts facts_;
};

}  // namespace profile

#endif  // KAVRO_PLATFORM_EDIT_LINE_READING_H_
