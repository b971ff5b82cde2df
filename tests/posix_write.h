// The write protocol run on a host path, as tests and the benchmark call
// it: the program itself reaches the directory through the Wine prefix.
#ifndef KAVRO_TESTS_POSIX_WRITE_H_
#define KAVRO_TESTS_POSIX_WRITE_H_

#include <fcntl.h>

#include <string>

#include "platform/posix/posix_file_system.h"
#include "platform/protocol/protocol.h"

inline profile::WriteResult WriteProfileEntry(const std::string& path,
                                              const profile::Entry& entry) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  profile::posix::FileDescriptor fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return profile::WriteResult::kNoDirectory;
  const auto opened = profile::posix::DirectoryAt(std::move(fd));
  return profile::WriteEntry(*opened, path.substr(slash + 1), entry).result;
}

#endif  // KAVRO_TESTS_POSIX_WRITE_H_
