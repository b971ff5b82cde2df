#include "platform/profile_file.h"

#include <new>

#include "platform/windows/file_layer.h"

// On Windows, `path` is a Windows path in the ANSI code page; every file
// call takes it as UTF-16.
//
// The replace is MoveFileExW, a rename within the directory, which NTFS and
// Wine both make in one step. ReplaceFileW would carry the original's
// attributes and security over by itself on Windows, but Wine's moves the
// original aside and deletes it before it moves the new file in, so a kill
// in between loses the file. What ReplaceFileW would carry over is
// therefore set on the temporary file before the rename: attributes,
// creation time and security descriptor. Where that cannot make the same
// file, the file is written in place, as Windows' own writer does.
namespace profile {
namespace {

using namespace windows;

std::optional<std::wstring> Widen(const std::string& ansi) {
  if (ansi.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(),
                                         static_cast<int>(ansi.size()), nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), static_cast<int>(ansi.size()),
                      wide.data(), length);
  return wide;
}

// What the new file takes over from the one it replaces; nothing for a file
// that is created.
struct Original {
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  std::optional<FILETIME> creation_time;
  std::vector<BYTE> access_control;  // the DACL
  std::vector<BYTE> ownership;       // owner and group
};

// The attributes a file keeps across the replace. The archive bit is set as
// by any write: the content has changed and wants backing up.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr SECURITY_INFORMATION kOwnership = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;

// Puts the new file, `plan` applied to the `size` bytes of `source` (closed
// before the rename, which Windows refuses over an open file), at `target`
// through a flushed temporary file and a rename, so that the file is at
// every moment either the old one or the new one. Returns nothing
// where the new file could not be the same file: an owner it cannot carry,
// or a rename refused because another program holds the file open.
std::optional<WriteResult> ReplaceWithNewFile(const std::wstring& directory,
                                              const std::wstring& file_name,
                                              const std::wstring& target, FileHandle source,
                                              uint64_t size, const Plan& plan,
                                              const Original& original) {
  std::wstring temporary;
  FileHandle file = CreateTemporary(directory, file_name, false, temporary);
  if (!file.valid()) return ResultOf(GetLastError());
  bool same_file = true;
  const bool written =
      WriteNewContent(source.get(), size, plan, 0, file.get(), 0) &&
      (!original.creation_time ||
       SetFileTime(file.get(), &*original.creation_time, nullptr, nullptr)) &&
      CarrySecurity(file.get(), DACL_SECURITY_INFORMATION, original.access_control) &&
      FlushFileBuffers(file.get());
  DWORD error = GetLastError();
  // Owner and group are carried where this account may set them: Windows
  // lets an account give a file only to itself, unless it may restore
  // backups. Where it cannot, the file keeps its own by being written in
  // place.
  if (written && !original.ownership.empty() &&
      SecurityOf(file.get(), kOwnership) != original.ownership &&
      !SetKernelObjectSecurity(file.get(), kOwnership,
                               const_cast<BYTE*>(original.ownership.data()))) {
    same_file = false;
  }
  source.Close();
  const bool closed =
      written && same_file && file.Close() &&
      SetFileAttributesW(temporary.c_str(),
                         (original.attributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE);
  const bool replaced = closed && MoveFileExW(temporary.c_str(), target.c_str(),
                                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (closed && !replaced) {
    error = GetLastError();
    // Another program holds the file open, sharing it: a rename over it is
    // refused where Windows' own writer still writes it.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) same_file = false;
  }
  if (!replaced) {
    file.Close();
    DeleteFileW(temporary.c_str());
  }
  if (!same_file) return std::nullopt;
  return replaced ? WriteResult::kWritten : ResultOf(error);
}

// Writes the record of a write in place to `record`: the new content, `plan`
// applied to `file`, from the first change on, then the head with that
// content's checksum; flushed.
bool WriteRecord(HANDLE record, HANDLE file, const Plan& plan, RedoHeader& header,
                 uint64_t content_offset) {
  // A head comes first, so that a record cut short is known for one.
  if (!WriteAllAt(record, EncodeRedoHeader(header), 0) ||
      !WriteNewContent(file, header.old_size, plan, header.first_change, record, content_offset)) {
    return false;
  }
  HandleReader written(record);
  const std::optional<uint32_t> checksum =
      ChecksumRange(written, content_offset, header.new_size - header.first_change);
  if (!checksum) return false;
  header.new_content_checksum = *checksum;
  return WriteAllAt(record, EncodeRedoHeader(header), 0) && FlushFileBuffers(record);
}

// Writes the entry into the file open as `writer` (to read and write) over
// the old content from its first changed byte on, after a flushed record of
// the write has been left beside it, from which a later run finishes the
// write if this one is cut short, and from which this one copies. Other
// names of the file may lie in other directories, beyond the run lock's
// reach: the file itself is locked too, and planned again under that lock.
WriteResult WriteInPlace(const std::wstring& directory, const std::wstring& file_name,
                         HANDLE writer, const Entry& entry) {
  BY_HANDLE_FILE_INFORMATION info;
  if (const WriteResult locked = TakeFileLock(writer); locked != WriteResult::kWritten) {
    return locked;
  }
  if (!GetFileInformationByHandle(writer, &info)) return ResultOf(GetLastError());
  const std::optional<Plan> planned = PlanForFile(writer, entry);
  if (!planned) return ResultOf(GetLastError());
  if (planned->status == EditStatus::kAlreadySet) return WriteResult::kWritten;
  if (planned->status != EditStatus::kEdited) return WriteResult::kUnreadable;
  const Plan& plan = *planned;

  const uint64_t old_size = SizeOf(info);
  const uint64_t new_size = NewSize(plan, old_size);
  const uint64_t first_change = plan.splices.front().begin;
  HandleReader old_file(writer);
  std::optional<std::vector<uint32_t>> checksums =
      ChecksumOldContent(old_file, first_change, old_size);
  if (!checksums) return ResultOf(GetLastError());
  RedoHeader header{FileIdOf(info),       old_size, new_size, first_change, kRedoBlockSize, 0,
                    std::move(*checksums)};
  const uint64_t content_offset = EncodeRedoHeader(header).size();

  // Under Wine a new file gets the Unix permissions the umask gives, which
  // the native program judges the record by; on Windows it is made private.
  std::wstring temporary;
  FileHandle record = CreateTemporary(directory, file_name, !RunningUnderWine(), temporary);
  if (!record.valid()) return ResultOf(GetLastError());
  const std::wstring record_path =
      directory + RedoName<wchar_t>(temporary.substr(directory.size()));
  if (!(WriteRecord(record.get(), writer, plan, header, content_offset) && record.Close() &&
        MoveFileExW(temporary.c_str(), record_path.c_str(), MOVEFILE_WRITE_THROUGH))) {
    const DWORD error = GetLastError();
    record.Close();
    DeleteFileW(temporary.c_str());
    return ResultOf(error);
  }
  record =
      FileHandle(CreateFileW(record_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!record.valid() || !SetSize(writer, std::max(new_size, old_size))) {
    const DWORD error = GetLastError();
    SetSize(writer, old_size);
    record.Close();
    DeleteFileW(record_path.c_str());
    return ResultOf(error);
  }
  // Cut short, the record stays for the next run to finish from.
  if (!(CopyRange(record.get(), content_offset, writer, first_change, new_size - first_change) &&
        SetSize(writer, new_size) && FlushFileBuffers(writer))) {
    return ResultOf(GetLastError());
  }
  record.Close();
  DeleteFileW(record_path.c_str());
  return WriteResult::kWritten;
}

// Under the lock, the file at `target`, with `attributes`.
WriteResult SetEntryInExistingFile(const std::wstring& directory, const std::wstring& file_name,
                                   const std::wstring& target, DWORD attributes,
                                   const Entry& entry) {
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
    return WriteResult::kNotAFile;
  FileHandle file = OpenShared(target, GENERIC_READ | READ_CONTROL);
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid()) return ResultOf(GetLastError());
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return WriteResult::kNotAFile;
  }
  const std::optional<Plan> plan = PlanForFile(file.get(), entry);
  if (!plan) return ResultOf(GetLastError());
  if (plan->status == EditStatus::kAlreadySet) return WriteResult::kWritten;
  if (plan->status != EditStatus::kEdited) return WriteResult::kUnreadable;
  // The read-only attribute is refused for administrators too, as Windows'
  // own profile writer refuses it.
  if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return WriteResult::kReadOnly;
  // A file this account may not write is refused even where the directory
  // would let a new file take its place.
  FileHandle writer = OpenShared(target, GENERIC_READ | GENERIC_WRITE);
  BY_HANDLE_FILE_INFORMATION writing;
  if (!writer.valid()) return ResultOf(GetLastError());
  if (!GetFileInformationByHandle(writer.get(), &writing) || FileIdOf(writing) != FileIdOf(info)) {
    return WriteResult::kFailed;
  }

  // Under Wine a new file cannot carry the Unix permissions, group,
  // extended attributes or access list: it is written in place there, as it
  // is wherever a new file would not be the same file.
  const bool other_names = info.nNumberOfLinks > 1 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  if (!RunningUnderWine() && !other_names) {
    const Original original{info.dwFileAttributes, info.ftCreationTime,
                            SecurityOf(file.get(), DACL_SECURITY_INFORMATION),
                            SecurityOf(file.get(), kOwnership)};
    writer.Close();
    if (const std::optional<WriteResult> replaced = ReplaceWithNewFile(
            directory, file_name, target, std::move(file), SizeOf(info), *plan, original)) {
      return *replaced;
    }
    writer = OpenShared(target, GENERIC_READ | GENERIC_WRITE);
    if (!writer.valid()) return ResultOf(GetLastError());
    if (!GetFileInformationByHandle(writer.get(), &writing) ||
        FileIdOf(writing) != FileIdOf(info)) {
      return WriteResult::kFailed;
    }
  }
  return WriteInPlace(directory, file_name, writer.get(), entry);
}

WriteResult SetEntryInFile(const std::wstring& target, const Entry& entry) {
  const size_t separator = target.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return WriteResult::kNoDirectory;
  const std::wstring directory = target.substr(0, separator + 1);
  const std::wstring file_name = target.substr(separator + 1);
  RunLock lock;
  if (const WriteResult locked = TakeRunLock(directory, file_name, lock);
      locked != WriteResult::kWritten) {
    return locked;
  }
  if (const WriteResult cleaned = CleanUpAfterDeadRuns(directory, file_name);
      cleaned != WriteResult::kWritten) {
    return cleaned;
  }
  // Only a plain file is opened at all: a directory or a device in its place
  // is refused without being touched. A link is followed to its target.
  DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return SetEntryInExistingFile(directory, file_name, target, attributes, entry);
  }
  // A missing file is made empty first, so that nothing that stands in its
  // place unseen (under Wine, a link whose target is gone) is replaced, and
  // is then written like any other; it goes again if that fails.
  if (GetLastError() != ERROR_FILE_NOT_FOUND) return ResultOf(GetLastError());
  FileHandle created(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!created.valid()) {
    return GetLastError() == ERROR_FILE_EXISTS ? WriteResult::kNotAFile : ResultOf(GetLastError());
  }
  created.Close();
  attributes = GetFileAttributesW(target.c_str());
  const WriteResult result =
      SetEntryInExistingFile(directory, file_name, target, attributes, entry);
  if (result != WriteResult::kWritten) DeleteFileW(target.c_str());
  return result;
}

}  // namespace

WriteResult WriteProfileEntry(const std::string& path, const Entry& entry) {
  if (!IsWritable(entry)) return WriteResult::kFailed;
  try {
    const std::optional<std::wstring> target = Widen(path);
    return target ? SetEntryInFile(*target, entry) : WriteResult::kFailed;
  } catch (const std::bad_alloc&) {
    return WriteResult::kFailed;  // a file too large for memory is refused, not half-written
  }
}

}  // namespace profile
