// The plan's pass over the file's text, taken a part at a time: both readers
// follow its lines at once, and it holds none of the text, however long a
// line. Lines that no reader needs are passed over by looking only for a
// `[` that may open a header of the entry's section.
#ifndef KAVRO_PLATFORM_EDIT_STREAMING_PLANNER_H_
#define KAVRO_PLATFORM_EDIT_STREAMING_PLANNER_H_

#include <cstddef>
#include <optional>

#include "platform/edit/entry_finding.h"
#include "platform/edit/line_reading.h"
#include "platform/edit/profile_edit.h"
#include "platform/edit/profile_rules.h"
#include "platform/edit/two_readers.h"

namespace profile {

template <typename Char>
class StreamingPlanner {
 public:
  // The lines begin at `start`, past a byte order mark.
  StreamingPlanner(const Entry& entry, size_t start);
  StreamingPlanner(const StreamingPlanner&) = delete;
  StreamingPlanner& operator=(const StreamingPlanner&) = delete;

  // Takes the text's next units; returns false once the plan needs no more.
  bool Take(Text<Char> units);
  // Once the text has ended or Take returned false.
  Decision Finish();

 private:
  // Where the units from `i` on may hold a header of the entry's section,
  // from a line's start: the line it may begin, or the end of the units.
  size_t SkipToPossibleHeader(Text<Char> units, size_t i);
  // The first CR or LF in `units` from `from`, or their end.
  size_t FindLineBreak(Text<Char> units, size_t from);
  // Reads the current line on from `i`; returns where reading stopped.
  size_t ReadLine(Text<Char> units, size_t i);
  void StartLine(size_t begin);
  void EndLine(const Line& line, std::optional<LineBreak> ending);
  bool OnlyHeadersWanted() const;

  Wanted<Char> wanted_;
  LineReading<WindowsRules, Char> windows_reading_;
  LineReading<WineRules, Char> wine_reading_;
  Finder windows_;
  Finder wine_;
  size_t start_;
  size_t pos_;  // the position of the next unit taken
  bool wanting_ = true;
  bool in_line_ = false;  // a line is being read
  size_t line_begin_ = 0;
  // A part ended in a CR that ends the line at `content_end_`; the next
  // unit says whether an LF goes with it.
  bool pending_cr_ = false;
  size_t content_end_ = 0;
  bool skip_rest_of_line_ = false;  // the current line is no header
  bool first_line_read_ = false;
  std::optional<LineBreak> first_line_break_;
  Char last_{};  // the last unit taken
  // In the part being taken: where its next LF and CR are, once looked for.
  size_t next_lf_ = 0;
  size_t next_cr_ = 0;
};

extern template class StreamingPlanner<char>;
extern template class StreamingPlanner<char16_t>;

}  // namespace profile

#endif  // KAVRO_PLATFORM_EDIT_STREAMING_PLANNER_H_
