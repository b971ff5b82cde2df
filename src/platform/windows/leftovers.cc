#include "platform/windows/file_layer.h"

namespace profile::windows {
namespace {

constexpr DWORD kNotAPlainFile =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;

// Opens a leftover only when it is a plain file with one name: a device, a
// pipe or a link under its name is no leftover of ours.
FileHandle OpenLeftover(const std::wstring& path, DWORD attributes, DWORD access) {
  if (attributes & kNotAPlainFile) return FileHandle();
  FileHandle file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.get(), &info) || info.nNumberOfLinks != 1) {
    return FileHandle();
  }
  return file;
}

// Under Wine a Windows program cannot see a Unix link, and removing a link's
// name removes its target: there the only temporary files removed are the
// records this program writes, known by their head, or empty where a run
// was cut short before it wrote one. (On Windows, and from the native
// program, every temporary file of ours goes.)
bool IsRecordBeingWritten(HANDLE temporary) {
  std::string start(kRedoHeaderStart, '\0');
  size_t got = 0;
  HandleReader reader(temporary);
  return reader.ReadAt(0, start, got) &&
         (got == 0 || (got == start.size() && RedoHeaderSize(start).has_value()));
}

// A write in place cut short: finished from its record when the file is
// in a state the write could have left, and the record removed. Returns
// kWritten when there was nothing to finish or it is finished.
WriteResult FinishCutShortWrite(const std::wstring& record_path, DWORD record_attributes,
                                const std::wstring& file_path) {
  FileHandle record = OpenLeftover(record_path, record_attributes, GENERIC_READ | READ_CONTROL);
  BY_HANDLE_FILE_INFORMATION record_info, file_info;
  if (!record.valid() || !OnlyOwnerMayWrite(record.get()) ||
      !GetFileInformationByHandle(record.get(), &record_info)) {
    return WriteResult::kWritten;
  }
  HandleReader record_reader(record.get());
  const std::optional<RedoRecord> redo = ReadRedoRecord(record_reader, SizeOf(record_info));
  if (!redo) return WriteResult::kWritten;

  const DWORD file_attributes = GetFileAttributesW(file_path.c_str());
  if (file_attributes == INVALID_FILE_ATTRIBUTES || (file_attributes & kNotAPlainFile)) {
    return WriteResult::kWritten;
  }
  const FileHandle file = OpenShared(file_path, GENERIC_READ | GENERIC_WRITE);
  if (!file.valid()) return ResultOf(GetLastError());
  if (!GetFileInformationByHandle(file.get(), &file_info) ||
      FileIdOf(file_info) != redo->header.file_id) {
    return WriteResult::kWritten;  // a record of some other file
  }
  HandleReader file_reader(file.get());
  if (!FileProvesRecord(*redo, record_reader, file_reader, SizeOf(file_info))) {
    return WriteResult::kUnprovenRecord;
  }
  const uint64_t first_change = redo->header.first_change;
  const uint64_t new_size = redo->header.new_size;
  if (!(SetSize(file.get(), std::max(new_size, SizeOf(file_info))) &&
        CopyRange(record.get(), redo->content_offset, file.get(), first_change,
                  new_size - first_change) &&
        SetSize(file.get(), new_size) && FlushFileBuffers(file.get()))) {
    return ResultOf(GetLastError());
  }
  record.Close();
  DeleteFileW(record_path.c_str());
  return WriteResult::kWritten;
}

}  // namespace

// With the lock held no other run is under way, so whatever temporary file
// is there belongs to a run that is gone, whatever its name says.
WriteResult CleanUpAfterDeadRuns(const std::wstring& directory, const std::wstring& file_name) {
  const std::wstring pattern = directory + LeftoverPrefix<wchar_t>(file_name) + L"*";
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return WriteResult::kWritten;
  WriteResult result = WriteResult::kWritten;
  do {
    const std::wstring path = directory + found.cFileName;
    const Leftover kind = LeftoverKind<wchar_t>(found.cFileName, file_name);
    if (kind == Leftover::kTemporary) {
      FileHandle temporary =
          OpenLeftover(path, found.dwFileAttributes, GENERIC_READ | READ_CONTROL);
      if (temporary.valid() && OwnedByUs(temporary.get()) &&
          (!RunningUnderWine() || IsRecordBeingWritten(temporary.get()))) {
        temporary.Close();
        DeleteFileW(path.c_str());
      }
    } else if (kind == Leftover::kRedo) {
      const WriteResult finished =
          FinishCutShortWrite(path, found.dwFileAttributes, directory + file_name);
      if (finished != WriteResult::kWritten) result = finished;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return result;
}

}  // namespace profile::windows
