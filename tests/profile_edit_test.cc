#include "platform/edit/profile_edit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plan_in_parts.h"
#include "profile_reader.h"
#include "set_entry.h"

using namespace std::string_literals;

namespace {

using profile::EditStatus;

const profile::Entry kDriver{"Hardware", "MKAVRO.DLL", "KAVRO DAQ Cards Driver"};
const std::string kLine = "MKAVRO.DLL=KAVRO DAQ Cards Driver";

struct Case {
  const char* what;
  std::string before;
  std::string after;
};

// Windows' reader and Wine's both get the driver's value from `file`.
void ExpectBothReadersGetTheValue(const std::string& file) {
  for (const reader::Rules rules : {reader::Rules::kWindows, reader::Rules::kWine}) {
    EXPECT_EQ(reader::Lookup(reader::ReadEntries(file, rules), u"Hardware", u"MKAVRO.DLL"),
              u"KAVRO DAQ Cards Driver")
        << (rules == reader::Rules::kWine ? "Wine's reader" : "Windows' reader");
  }
}

// Read a part at a time, `file` gets the plan it gets whole: in parts of
// every size up to 64 bytes, then of ever larger sizes up to all of it.
void ExpectSamePlanFromParts(const std::string& file) {
  const profile::Plan whole = profile::PlanEntry(file, kDriver);
  for (size_t part = 1; part <= file.size(); part = part < 64 ? part + 1 : 2 * part + 1) {
    EXPECT_EQ(testing_support::PlanInParts(file, kDriver, part).plan, whole)
        << "in parts of " << part;
  }
  EXPECT_EQ(testing_support::PlanInParts(file, kDriver, file.size()).plan, whole);
}

// A case whose `after` is its `before` is a file that already gives the value.
void ExpectEdits(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectSamePlanFromParts(c.before);
    const profile::Edit edit = profile::SetEntry(c.before, kDriver);
    if (c.after == c.before) {
      EXPECT_EQ(edit.status, EditStatus::kAlreadySet);
      ExpectBothReadersGetTheValue(c.before);
      continue;
    }
    ASSERT_EQ(edit.status, EditStatus::kEdited);
    EXPECT_EQ(edit.content, c.after);
    ExpectBothReadersGetTheValue(edit.content);
    // What was written reads back as set: a second run changes nothing.
    EXPECT_EQ(profile::SetEntry(edit.content, kDriver).status, EditStatus::kAlreadySet);
  }
}

void ExpectAlreadySet(const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    ExpectSamePlanFromParts(file);
    EXPECT_EQ(profile::SetEntry(file, kDriver).status, EditStatus::kAlreadySet);
    ExpectBothReadersGetTheValue(file);
  }
}

TEST(SetEntryTest, CreatesSectionAndKeyInEmptyFile) {
  ExpectEdits({
      {"empty", "", "[Hardware]\r\n" + kLine + "\r\n"},
      {"UTF-8 mark only", "\xEF\xBB\xBF", "\xEF\xBB\xBF[Hardware]\r\n" + kLine + "\r\n"},
  });
}

TEST(SetEntryTest, AddsMissingKeyAfterTheSectionsLastKey) {
  ExpectEdits({
      {"between sections", "[Hardware]\r\nA=1\r\nB=2\r\n\r\n[Other]\r\nC=3\r\n",
       "[Hardware]\r\nA=1\r\nB=2\r\n" + kLine + "\r\n\r\n[Other]\r\nC=3\r\n"},
      {"comments after the last key stay after it", "[Hardware]\nA=1\n; note\n\n[X]\n",
       "[Hardware]\nA=1\n" + kLine + "\n; note\n\n[X]\n"},
      {"commented-out key is no key", "[Hardware]\n;MKAVRO.DLL=KAVRO DAQ Cards Driver\n",
       "[Hardware]\n" + kLine + "\n;MKAVRO.DLL=KAVRO DAQ Cards Driver\n"},
      {"a line only Windows takes for a key", "[Hardware]\nA=1\n\f\n[X]\n",
       "[Hardware]\nA=1\n" + kLine + "\n\f\n[X]\n"},
      {"line without = is a key", "[Hardware]\nLoose entry\n\n",
       "[Hardware]\nLoose entry\n" + kLine + "\n\n"},
      {"section without keys", "[Hardware]\r\n\r\n[X]\r\n",
       "[Hardware]\r\n" + kLine + "\r\n\r\n[X]\r\n"},
      {"header is the last line, no ending", "A=1\n[Hardware]", "A=1\n[Hardware]\n" + kLine + "\n"},
      {"last key has no ending", "[Hardware]\r\nA=1", "[Hardware]\r\nA=1\r\n" + kLine + "\r\n"},
      {"first section of the name counts", "[Hardware]\nA=1\n[Hardware]\nMKAVRO.DLL=old\n",
       "[Hardware]\nA=1\n" + kLine + "\n[Hardware]\nMKAVRO.DLL=old\n"},
      {"keys before any section belong to none", "MKAVRO.DLL=x\n[Hardware]\n",
       "MKAVRO.DLL=x\n[Hardware]\n" + kLine + "\n"},
  });
}

TEST(SetEntryTest, MatchesSectionHeadersAsReadersDo) {
  ExpectEdits({
      {"case and blanks", "  [ hARDWARE\t]  ; trailing text\nA=1\n",
       "  [ hARDWARE\t]  ; trailing text\nA=1\n" + kLine + "\n"},
      {"blanks only Wine trims, where both see the same line",
       "[Hardware]\x1a\r\nMKAVRO.DLL=\x1aold\v\r\n", "[Hardware]\x1a\r\n" + kLine + "\r\n"},
      {"case and blanks in a later header", "[A]\n[ hARDWARE ]\nA=1\n",
       "[A]\n[ hARDWARE ]\nA=1\n" + kLine + "\n"},
  });
}

// Where Windows' reader and Wine's take different lines for the entry, each
// gets the change it needs; every other entry reads as before under each.
TEST(SetEntryTest, GivesBothReadersTheValueWhereTheyDisagree) {
  const std::vector<Case> cases = {
      // For Wine a header's name runs to its last `]`, and a line without
      // one is no header: Wine finds no [Hardware] and gets one at the end.
      {"text with brackets after the header", "[Hardware] ; see [notes]\r\nMKAVRO.DLL=old\r\n",
       "[Hardware] ; see [notes]\r\n" + kLine + "\r\n[Hardware]\r\n" + kLine + "\r\n"},
      {"doubled bracket", "[Hardware]]\nMKAVRO.DLL=old\n",
       "[Hardware]]\n" + kLine + "\n[Hardware]\n" + kLine + "\n"},
      {"header without closing bracket", "[A]\nx=1\n[Hardware\nMKAVRO.DLL=old\nB=2",
       "[A]\nx=1\n[Hardware\n" + kLine + "\nB=2\n[Hardware]\n" + kLine + "\n"},
      // Wine trims a form feed off the key; Windows sees another key.
      {"form feed before =", "[Hardware]\r\nMKAVRO.DLL\f=old\r\nB=2\r\n",
       "[Hardware]\r\nMKAVRO.DLL\f=KAVRO DAQ Cards Driver\r\nB=2\r\n" + kLine + "\r\n"},
      {"form feed after a key without =", "[Hardware]\nMKAVRO.DLL\f\n",
       "[Hardware]\nMKAVRO.DLL=KAVRO DAQ Cards Driver\n"},
      // A form feed before the bracket: no header for Windows, which gets a
      // section at the end; Wine's value is set in the header's section.
      {"form feed before the header", "\f[Hardware]\r\nMKAVRO.DLL=old\r\n",
       "\f[Hardware]\r\n" + kLine + "\r\n[Hardware]\r\n" + kLine + "\r\n"},
      // A form feed after the bracket: Wine's name, not Windows'.
      {"form feed after the bracket", "[A]\r\n[\fHardware]\r\nMKAVRO.DLL=old\r\n",
       "[A]\r\n[\fHardware]\r\n" + kLine + "\r\n[Hardware]\r\n" + kLine + "\r\n"},
      // Wine's section is the file's last, Windows has none: Wine's line
      // goes first, then Windows' section.
      {"each reader's change at the end", "[A]\nx=1\n[Hard\n\f[Hardware]\nk=v",
       "[A]\nx=1\n[Hard\n\f[Hardware]\nk=v\n" + kLine + "\n[Hardware]\n" + kLine + "\n"},
      // Windows' key lacks `=` on the open last line: `=` and the value go
      // there, and Wine's section after it, on a line of its own.
      {"key without = on the open last line", "[Hardware] ; see [notes]\r\nMKAVRO.DLL",
       "[Hardware] ; see [notes]\r\n" + kLine + "\r\n[Hardware]\r\n" + kLine + "\r\n"},
      // Already right for Wine, not for Windows: only Windows' line is added.
      {"vertical tab before the key", "[Hardware]\r\n\vMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n",
       "[Hardware]\r\n\vMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n" + kLine + "\r\n"},
      // Wine keeps a header's name and a key's name as C strings, so a NUL
      // ends them: "[Hardware\0junk]" is Wine's first [Hardware], and
      // "MKAVRO.DLL\0x=old" gives Wine the value "old" (its
      // GetPrivateProfileStringA reads both so). Adding the entry only
      // where Windows looks leaves Wine without it.
      {"a NUL in the header's name", "[Hardware\0junk]\r\nA=1\r\n"s,
       "[Hardware\0junk]\r\nA=1\r\n"s + kLine + "\r\n[Hardware]\r\n" + kLine + "\r\n"},
      {"a NUL in the key's name", "[Hardware]\r\nMKAVRO.DLL\0x=old\r\n"s,
       "[Hardware]\r\nMKAVRO.DLL\0x=KAVRO DAQ Cards Driver\r\n"s + kLine + "\r\n"},
  };
  ExpectEdits(cases);
}

// What Windows' own reader does, as the platform's public conformance tests
// (kernel32's profile tests, also run on Wine) assert it on real Windows:
// each case pins one of those facts.
TEST(SetEntryTest, FollowsWhatWindowsConformanceTestsAssert) {
  const std::string conformance_file =
      "[Hardware]\r\nname1=val1\r\nname2=\"val2\"\r\nname3\r\nname4=a\r\n[section2]\r\n";
  std::string cr_only = conformance_file;
  std::erase(cr_only, '\n');
  const std::string before_first_section = "Data \0 before \0 first \0 section"s;
  ExpectEdits({
      {"CR LF ends a line (GetPrivateProfileString on the CR+LF file)", conformance_file,
       "[Hardware]\r\nname1=val1\r\nname2=\"val2\"\r\nname3\r\nname4=a\r\n" + kLine +
           "\r\n[section2]\r\n"},
      {"CR alone ends a line (GetPrivateProfileString on the CR-only file)", cr_only,
       "[Hardware]\rname1=val1\rname2=\"val2\"\rname3\rname4=a\r" + kLine + "\r[section2]\r"},
      {"LF alone ends a line (GetPrivateProfileInt reads 123 from an LF file)",
       "[Hardware]\nMKAVRO.DLL=123\n", "[Hardware]\n" + kLine + "\n"},
      {"a pair of quotes is dropped from a value (name2=\"val2\" reads val2)",
       "[Hardware]\r\nMKAVRO.DLL=\"KAVRO DAQ Cards Driver\"\r\n",
       "[Hardware]\r\nMKAVRO.DLL=\"KAVRO DAQ Cards Driver\"\r\n"},
      {"blanks inside [ section ] are trimmed (its name lists as section1)",
       "[ Hardware ]\r\n[section2]\r\n", "[ Hardware ]\r\n" + kLine + "\r\n[section2]\r\n"},
      {"bytes before the first section, NULs too, are kept (WritePrivateProfileString)",
       before_first_section, before_first_section + "\r\n[Hardware]\r\n" + kLine + "\r\n"},
  });
}

// Lines longer than the planner's room for the file's next bytes (64 KiB)
// are decided as they stream past, wherever in them the deciding units lie.
TEST(SetEntryTest, DecidesLinesLongerThanThePlannersRoom) {
  const size_t kLong = 70000;
  const std::string blanks(kLong, ' ');
  const std::string text(kLong, 'x');
  const std::string comment_then_section = "; " + text + "\r\n[Hardware]\r\nA=1\r\n";
  ExpectEdits({
      {"a comment first", comment_then_section, comment_then_section + kLine + "\r\n"},
      {"blanks before a header", blanks + "[Hardware]\nA=1\n",
       blanks + "[Hardware]\nA=1\n" + kLine + "\n"},
      {"blanks before the header's ]", "[Hardware" + blanks + "]\nA=1\n",
       "[Hardware" + blanks + "]\nA=1\n" + kLine + "\n"},
      // Wine's name runs on to the far `]`: another section for Wine.
      {"text and a ] after the header", "[Hardware] " + text + "]\r\nMKAVRO.DLL=old\r\n",
       "[Hardware] " + text + "]\r\n" + kLine + "\r\n[Hardware]\r\n" + kLine + "\r\n"},
      {"a value", "[Hardware]\nMKAVRO.DLL=" + text + "\n", "[Hardware]\n" + kLine + "\n"},
      {"blanks before =", "[Hardware]\nMKAVRO.DLL" + blanks + "=old\n",
       "[Hardware]\nMKAVRO.DLL" + blanks + "=KAVRO DAQ Cards Driver\n"},
      {"blanks after the value", "[Hardware]\n" + kLine + blanks + "\n",
       "[Hardware]\n" + kLine + blanks + "\n"},
  });
}

TEST(SetEntryTest, ReplacesOnlyTheValueOfTheKeysFirstLine) {
  ExpectEdits({
      {"spelling and blanks before the value kept",
       "[Hardware]\r\n  mkavro.dll \t=  old ; x  \r\nB=2\r\n",
       "[Hardware]\r\n  mkavro.dll \t=  KAVRO DAQ Cards Driver\r\nB=2\r\n"},
      {"only the first of duplicate keys", "[Hardware]\nMKAVRO.DLL=a\nMKAVRO.DLL=b\n",
       "[Hardware]\n" + kLine + "\nMKAVRO.DLL=b\n"},
      {"empty value", "[Hardware]\nMKAVRO.DLL=\n", "[Hardware]\n" + kLine + "\n"},
      {"value differs in case", "[Hardware]\nMKAVRO.DLL=kavro daq cards driver\n",
       "[Hardware]\n" + kLine + "\n"},
      {"key without =", "[Hardware]\n MKAVRO.DLL  \n",
       "[Hardware]\n MKAVRO.DLL=KAVRO DAQ Cards Driver\n"},
      {"last line without ending stays so", "[Hardware]\nMKAVRO.DLL=old", "[Hardware]\n" + kLine},
  });
}

TEST(SetEntryTest, LeavesAFileThatAlreadyGivesTheValue) {
  ExpectAlreadySet({
      "[Hardware]\r\n" + kLine + "\r\n",
      "[hardware]\nmkavro.dll = KAVRO DAQ Cards Driver   \n",
      "[Hardware]\nMKAVRO.DLL=\"KAVRO DAQ Cards Driver\"\n",
      "[Hardware]\nMKAVRO.DLL= 'KAVRO DAQ Cards Driver' \n",
      "[Hardware]\n" + kLine,
  });
}

TEST(SetEntryTest, AppendsMissingSectionAtTheEnd) {
  ExpectEdits({
      {"after other sections", "[A]\r\nx=1\r\n", "[A]\r\nx=1\r\n[Hardware]\r\n" + kLine + "\r\n"},
      {"last line gets its ending first", "[A]\nx=1", "[A]\nx=1\n[Hardware]\n" + kLine + "\n"},
      {"blank lines at the end stay", "[A]\n\n\n", "[A]\n\n\n[Hardware]\n" + kLine + "\n"},
      {"a key by that name elsewhere is not it", "[A]\nMKAVRO.DLL=x\n",
       "[A]\nMKAVRO.DLL=x\n[Hardware]\n" + kLine + "\n"},
  });
}

TEST(SetEntryTest, KeepsEveryLinesOwnEndingAndAddsTheFirstOnes) {
  ExpectEdits({
      {"lone CR", "[A]\rx=1\r", "[A]\rx=1\r[Hardware]\r" + kLine + "\r"},
      {"mixed endings", "[Hardware]\nA=1\r\nB=2\rC=3\n",
       "[Hardware]\nA=1\r\nB=2\rC=3\n" + kLine + "\n"},
      {"CR then LF on the next line is CRLF", "[Hardware]\r\n", "[Hardware]\r\n" + kLine + "\r\n"},
      {"no ending anywhere", "[A]", "[A]\r\n[Hardware]\r\n" + kLine + "\r\n"},
  });
}

TEST(SetEntryTest, NeverReencodesBytes) {
  const std::string latin = "[Ger\xE4te]\nName=M\xFCller\x00\xFF\n"s;
  ExpectEdits({
      {"8-bit and NUL bytes", std::string(latin), latin + "[Hardware]\n" + kLine + "\n"},
      {"UTF-8 mark is not part of the first line", "\xEF\xBB\xBF[Hardware]\nA=1\n",
       "\xEF\xBB\xBF[Hardware]\nA=1\n" + kLine + "\n"},
  });
}

std::string Utf16(const std::string& ascii, bool little_endian) {
  std::string bytes = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char c : ascii) {
    bytes += little_endian ? std::string{c, '\0'} : std::string{'\0', c};
  }
  return bytes;
}

TEST(SetEntryTest, EditsUtf16FilesInTheirOwnEncoding) {
  for (const bool little_endian : {true, false}) {
    SCOPED_TRACE(little_endian ? "UTF-16LE" : "UTF-16BE");
    const std::vector<Case> cases = {
        {"key added", Utf16("[Hardware]\r\nA=1\r\n", little_endian),
         Utf16("[Hardware]\r\nA=1\r\n" + kLine + "\r\n", little_endian)},
        {"mark only", Utf16("", little_endian),
         Utf16("[Hardware]\r\n" + kLine + "\r\n", little_endian)},
        {"a line longer than the planner's room",
         Utf16("; " + std::string(40000, 'x') + "\r\n[Hardware]\r\nA=1\r\n", little_endian),
         Utf16("; " + std::string(40000, 'x') + "\r\n[Hardware]\r\nA=1\r\n" + kLine + "\r\n",
               little_endian)},
    };
    ExpectEdits(cases);
    ExpectAlreadySet({Utf16("[HARDWARE]\n" + kLine + "\n", little_endian)});
  }
  // A non-ASCII unit (U+5B5B) must not be taken for '[' however its bytes fall.
  const std::string cjk = std::string("\xFF\xFE") + "\x5B\x5B" + "\n\0"s;
  EXPECT_EQ(profile::SetEntry(cjk, kDriver).content,
            cjk + Utf16("[Hardware]\n" + kLine + "\n", true).substr(2));
}

TEST(SetEntryTest, LeavesUtf16WithAnOddNumberOfBytesAlone) {
  EXPECT_EQ(profile::SetEntry("\xFF\xFE[\0"s + "x", kDriver).status, EditStatus::kUnreadable);
  EXPECT_EQ(profile::SetEntry("\xFE\xFF\0"s, kDriver).status, EditStatus::kUnreadable);
}

// The file layer reads a long file only as far as the entry's section
// goes for both readers, a part at a time, whatever the length of its lines.
TEST(EntryPlannerTest, ReadsNoFurtherThanThePlanNeeds) {
  const std::string rest(1 << 20, 'x');
  const std::vector<std::string> heads = {
      "[Hardware]\r\nA=1\r\n[Other]\r\n",
      "[Hardware]\r\nMKAVRO.DLL=old\r\n",
      "; " + std::string(300000, '-') + "\n[Hardware]\nA=1\n[Other]\n",
      // Wine's [Hardware] is the second one.
      "[Hardware] ; see [notes]\r\nA=1\r\n[Other]\r\n[Hardware]\r\nB=2\r\n[Next]\r\n",
  };
  for (const std::string& head : heads) {
    SCOPED_TRACE(head.substr(0, 20));
    const std::string file = head + rest;
    const testing_support::PlannedInParts planned = testing_support::PlanInParts(file, kDriver, 64);
    EXPECT_EQ(planned.plan, profile::PlanEntry(file, kDriver));
    EXPECT_LE(planned.bytes_read, head.size() + 64);
  }
}

TEST(IsWritableTest, RefusesNamesThatWouldBreakTheFile) {
  EXPECT_TRUE(profile::IsWritable(kDriver));
  const std::vector<profile::Entry> refused = {
      {"", "K", "V"},
      {"  ", "K", "V"},
      {"Sec]tion", "K", "V"},
      {"S", "", "V"},
      {"S", "K=1", "V"},
      {"S", "[K", "V"},
      {"S", ";K", "V"},
      {"S\n", "K", "V"},
      {"S", "K\r", "V"},
      {"S", "K", "V\r\nX=1"},
      // What no reader reads back as given: it would be written on every run.
      {" S", "K", "V"},
      {"S", "K\f", "V"},
      {"S", "K", "V "},
      {"S", "K", "'V'"},
  };
  for (const profile::Entry& entry : refused) {
    EXPECT_FALSE(profile::IsWritable(entry))
        << entry.section << "|" << entry.key << "|" << entry.value;
  }
}

}  // namespace
