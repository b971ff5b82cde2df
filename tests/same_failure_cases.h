// One table of failures as each OS reports them, and the cause a user reads
// for each, so that the native program's tests and the Windows file
// layer's (the probe under Wine) check that the same failure reads the same
// on both. The codes are numbers here, so that each side builds the table;
// each side checks that they are its own constants.
#ifndef KAVRO_TESTS_SAME_FAILURE_CASES_H_
#define KAVRO_TESTS_SAME_FAILURE_CASES_H_

namespace same_failure {

struct Case {
  const char* what;
  int linux_errno;
  unsigned long windows_error;
  // What a user is told to do, after what failed.
  const char* next_step;
};

// The failed call every case is about, and where.
inline constexpr const char* kDirectory = R"(C:\Program Files\DASYLab 8.0)";
inline constexpr const char* kFrom = ".dasylab.ini.7.kavro-tmp";
inline constexpr const char* kTo = ".dasylab.ini.7.kavro-redo";

// What failed, as a user reads it after "kavro-register: ", where the
// system's own words are "REASON".
inline constexpr const char* kWhatFailed =
    R"(cannot rename C:\Program Files\DASYLab 8.0\.dasylab.ini.7.kavro-tmp to )"
    ".dasylab.ini.7.kavro-redo: REASON; ";

inline constexpr Case kCases[] = {
    {"access denied", 13, 5, "run as a user who may write there (on Windows, as an administrator)"},
    {"a privilege missing", 1, 1314,
     "run as a user who may write there (on Windows, as an administrator)"},
    {"a read-only disk", 30, 19, "the disk is read-only: mount it read-write, then run again"},
    {"a full disk", 28, 112, "free some space on that disk, then run again"},
    {"a full quota", 122, 39, "free some space on that disk, then run again"},
    {"a file too large", 27, 223,
     "the file is larger than this process may write: raise the limit (ulimit -f), "
     "then run again"},
    {"held by another program", 26, 32,
     "close DASYLab and any program that has DASYLab.ini open, then run again"},
    {"locked by another program", 16, 33,
     "close DASYLab and any program that has DASYLab.ini open, then run again"},
    {"a directory in the way", 21, 267,
     "put DASYLab's own DASYLab.ini there, or remove what is in its place"},
    {"something already there", 17, 80,
     "put DASYLab's own DASYLab.ini there, or remove what is in its place"},
    {"gone during the run", 2, 2, "another program removed it during the run; run again"},
    {"a directory on the way missing", 20, 3,
     "install DASYLab 8.0 there, or add the entry to DASYLab.ini by hand"},
    {"the disk failing", 5, 23, "the disk failed: check it, then run again"},
};

}  // namespace same_failure

#endif  // KAVRO_TESTS_SAME_FAILURE_CASES_H_
