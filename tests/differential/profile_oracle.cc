// profile-oracle: a test-only Windows helper that shows what the system's own
// profile functions make of files.
//   profile-oracle read LIST    for each Windows path in LIST (one a line):
//                               every section, key and value the system's
//                               reader sees, in its order
//   profile-oracle write LIST   sets the driver's entry in each file with the
//                               system's own writer
// Output, one record a line, names and values in hex (bytes as read):
//   F <index>   S <section>   K <section> <key> <value>   W <index> <result>
//   V <value>   what the reader returns for the driver's entry ("x" when it
//               finds none)
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex = "x";  // never empty, so fields always split
  for (const unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// Calls `get` with ever larger buffers until the answer fits; returns what
// it wrote, up to the returned length.
template <typename Get>
std::string WithGrowingBuffer(Get get) {
  for (DWORD size = 1 << 16;; size *= 4) {
    std::vector<char> buffer(size);
    const DWORD length = get(buffer.data(), size);
    if (length < size - 2) return std::string(buffer.data(), length);
  }
}

std::vector<std::string> SplitNulList(const std::string& list) {
  std::vector<std::string> items;
  size_t begin = 0;
  while (begin < list.size()) {
    const size_t end = list.find('\0', begin);
    items.push_back(list.substr(begin, end - begin));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  return items;
}

void Read(const std::string& file) {
  const char* path = file.c_str();
  const std::string sections = WithGrowingBuffer(
      [&](char* buffer, DWORD size) { return GetPrivateProfileSectionNamesA(buffer, size, path); });
  for (const std::string& section : SplitNulList(sections)) {
    std::printf("S %s\n", Hex(section).c_str());
    const std::string keys = WithGrowingBuffer([&](char* buffer, DWORD size) {
      return GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer, size, path);
    });
    for (const std::string& key : SplitNulList(keys)) {
      const std::string value = WithGrowingBuffer([&](char* buffer, DWORD size) {
        return GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer, size, path);
      });
      std::printf("K %s %s %s\n", Hex(section).c_str(), Hex(key).c_str(), Hex(value).c_str());
    }
  }
  char driver[256];
  const DWORD length =
      GetPrivateProfileStringA("Hardware", "MKAVRO.DLL", "\x01", driver, sizeof driver, path);
  const std::string found(driver, length);
  std::printf("V %s\n", found == "\x01" ? "x" : Hex(found).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: profile-oracle read|write LIST\n");
    return 2;
  }
  const std::string mode = argv[1];
  std::ifstream list(argv[2]);
  std::string file;
  for (int index = 0; std::getline(list, file); ++index) {
    if (!file.empty() && file.back() == '\r') file.pop_back();
    if (mode == "read") {
      std::printf("F %d\n", index);
      Read(file);
    } else {
      const BOOL written = WritePrivateProfileStringA("Hardware", "MKAVRO.DLL",
                                                      "KAVRO DAQ Cards Driver", file.c_str());
      std::printf("W %d %d\n", index, written ? 1 : 0);
    }
  }
  return 0;
}
