// The names of the files beside the profile file.
#include "platform/protocol/names.h"

#include <cassert>

namespace profile {
namespace {

constexpr std::string_view kTemporaryEnding = ".kavro-tmp";
constexpr std::string_view kRedoEnding = ".kavro-redo";

std::string LowerAscii(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string Prefix(std::string_view file_name) { return "." + LowerAscii(file_name) + "."; }

}  // namespace

std::string LockName(std::string_view file_name) { return Prefix(file_name) + "kavro-lock"; }

std::string TemporaryName(std::string_view file_name, uint64_t nonce) {
  return Prefix(file_name) + std::to_string(nonce) + std::string(kTemporaryEnding);
}

std::string RedoName(std::string_view temporary_name) {
  assert(temporary_name.ends_with(kTemporaryEnding));
  temporary_name.remove_suffix(kTemporaryEnding.size());
  return std::string(temporary_name) + std::string(kRedoEnding);
}

Leftover LeftoverKind(std::string_view name, std::string_view file_name) {
  const std::string lower = LowerAscii(name);
  if (!lower.starts_with(Prefix(file_name))) return Leftover::kNone;
  if (lower.ends_with(kTemporaryEnding)) return Leftover::kTemporary;
  if (lower.ends_with(kRedoEnding)) return Leftover::kRedo;
  return Leftover::kNone;
}

}  // namespace profile
