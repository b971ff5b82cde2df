// A platform that records every call, for tests of the registration
// procedure and the shell. Any operation can be made to raise.
#ifndef KAVRO_TESTS_FAKE_PLATFORM_H_
#define KAVRO_TESTS_FAKE_PLATFORM_H_

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/form1.h"

class FakePlatform final : public Platform {
 public:
  // The calls made, in order, written as "operation(arg|arg|...)".
  std::vector<std::string> calls;
  int32_t write_result = 1;

  // Makes the next `times` calls of `operation` raise a PlatformError.
  void RaiseOn(const std::string& operation, int times = 1) { raises_[operation] = times; }

  void rtcChangeDir(const std::string& directory) override {
    Record("rtcChangeDir(" + directory + ")");
  }

  int32_t WritePrivateProfileStringA(const std::string& section, const std::string& key,
                                     const std::string& value, const std::string& file) override {
    Record("WritePrivateProfileStringA(" + section + "|" + key + "|" + value + "|" + file + ")");
    return write_result;
  }

  int rtcMsgBox(const std::string& prompt, int style, const std::string& title) override {
    Record("rtcMsgBox(" + prompt + "|" + std::to_string(style) + "|" + title + ")");
    return kMsgBoxOk;
  }

  void Unload(Form1& form) override {
    Record("Unload(" + std::string(form.loaded() ? "loaded" : "unloaded") + ")");
    form.MarkUnloaded();
  }

 private:
  void Record(const std::string& call) {
    calls.push_back(call);
    const std::string operation = call.substr(0, call.find('('));
    if (auto it = raises_.find(operation); it != raises_.end() && it->second > 0) {
      --it->second;
      throw PlatformError(operation + " failed");
    }
  }

  std::map<std::string, int> raises_;
};

#endif  // KAVRO_TESTS_FAKE_PLATFORM_H_
