// The profile writer for a file in a directory that is already open: the
// contract of WriteProfileEntry (profile_file.h), with the directory given
// as a handle instead of looked up by path, so that nothing between the
// prefix and the file is looked up twice.
#ifndef KAVRO_PLATFORM_POSIX_PROFILE_FILE_AT_H_
#define KAVRO_PLATFORM_POSIX_PROFILE_FILE_AT_H_

#include <string>

#include "platform/edit/profile_edit.h"
#include "platform/protocol/write_protocol.h"

namespace profile {

WriteResult WriteProfileEntryAt(int directory, const std::string& file_name, const Entry& entry);

}  // namespace profile

#endif  // KAVRO_PLATFORM_POSIX_PROFILE_FILE_AT_H_
