// The names beside the profile file, all starting ".<file>." with the
// file's name in ASCII lower case, so that every program names the same
// file whatever case the path was spelled in (Wine matches names without
// regard to case, a Linux file system does not):
//   .<file>.kavro-lock            the lock a run holds from before it reads
//                                 the file until its write is done
//   .<file>.<nonce>.kavro-tmp     a new file or a record being written
//   .<file>.<nonce>.kavro-redo    the complete record of a write in place
#ifndef KAVRO_PLATFORM_PROTOCOL_NAMES_H_
#define KAVRO_PLATFORM_PROTOCOL_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace profile {

enum class Leftover { kNone, kTemporary, kRedo };

std::string LockName(std::string_view file_name);
std::string TemporaryName(std::string_view file_name, uint64_t nonce);
// The name a complete record takes: its temporary name with the other
// ending. Requires a TemporaryName.
std::string RedoName(std::string_view temporary_name);
// What `name`, found beside the file `file_name`, is. Names of earlier
// versions (".<file>.<pid>.<nonce>.kavro-tmp") count too.
Leftover LeftoverKind(std::string_view name, std::string_view file_name);

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_NAMES_H_
