// Security on Windows: descriptors carried to a new file, the accounts a
// leftover may belong to, and the private access list of a record.
#include "platform/windows/windows_file_system.h"

namespace profile::windows {
namespace {

// The accounts whose files this program trusts as its own: the user it
// runs as, the system, and the administrators.
class TrustedAccounts final {
 public:
  TrustedAccounts() {
    HANDLE token = nullptr;
    DWORD needed = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
      user_.resize(needed);
      if (needed == 0 || !GetTokenInformation(token, TokenUser, user_.data(), needed, &needed)) {
        user_.clear();
      }
      CloseHandle(token);
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system_);
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                             0, 0, 0, &administrators_);
  }
  ~TrustedAccounts() {
    if (system_ != nullptr) FreeSid(system_);
    if (administrators_ != nullptr) FreeSid(administrators_);
  }
  TrustedAccounts(const TrustedAccounts&) = delete;
  TrustedAccounts& operator=(const TrustedAccounts&) = delete;

  PSID user() const {
    return user_.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid;
  }
  PSID system() const { return system_; }
  PSID administrators() const { return administrators_; }
  bool Trusts(PSID sid) const {
    for (PSID trusted : {user(), system_, administrators_}) {
      if (trusted != nullptr && sid != nullptr && EqualSid(trusted, sid)) return true;
    }
    return false;
  }

 private:
  std::vector<BYTE> user_;
  PSID system_ = nullptr;
  PSID administrators_ = nullptr;
};

constexpr ACCESS_MASK kWriting =
    FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER;

}  // namespace

std::vector<BYTE> SecurityOf(HANDLE file, SECURITY_INFORMATION what) {
  DWORD needed = 0;
  GetKernelObjectSecurity(file, what, nullptr, 0, &needed);
  std::vector<BYTE> descriptor(needed);
  if (needed == 0 || !GetKernelObjectSecurity(file, what, descriptor.data(), needed, &needed)) {
    return {};
  }
  return descriptor;
}

bool CarrySecurity(HANDLE file, SECURITY_INFORMATION what, const std::vector<BYTE>& wanted) {
  if (wanted.empty() || SecurityOf(file, what) == wanted) return true;
  return SetKernelObjectSecurity(file, what, const_cast<BYTE*>(wanted.data()));
}

bool OwnedByUs(HANDLE file) {
  std::vector<BYTE> descriptor = SecurityOf(file, OWNER_SECURITY_INFORMATION);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return !descriptor.empty() && GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) &&
         TrustedAccounts().Trusts(owner);
}

bool OnlyOwnerMayWrite(HANDLE file) {
  if (!OwnedByUs(file)) return false;
  std::vector<BYTE> descriptor = SecurityOf(file, DACL_SECURITY_INFORMATION);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  // No access list at all lets everybody in.
  if (descriptor.empty() ||
      !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present ||
      dacl == nullptr) {
    return false;
  }
  const TrustedAccounts trusted;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kWriting) != 0 && !trusted.Trusts(sid)) return false;
  }
  return true;
}

std::vector<BYTE> PrivateSecurity() {
  const TrustedAccounts trusted;
  std::vector<PSID> accounts;
  for (PSID sid : {trusted.user(), trusted.system(), trusted.administrators()}) {
    if (sid != nullptr) accounts.push_back(sid);
  }
  DWORD acl_size = sizeof(ACL);
  for (PSID sid : accounts) acl_size += sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
  std::vector<BYTE> acl_bytes(acl_size);
  auto* acl = reinterpret_cast<PACL>(acl_bytes.data());
  SECURITY_DESCRIPTOR absolute;
  if (accounts.empty() || !InitializeAcl(acl, acl_size, ACL_REVISION)) return {};
  for (PSID sid : accounts) {
    if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid)) return {};
  }
  if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&absolute, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return {};
  }
  DWORD size = 0;
  MakeSelfRelativeSD(&absolute, nullptr, &size);
  std::vector<BYTE> relative(size);
  if (size == 0 || !MakeSelfRelativeSD(&absolute, relative.data(), &size)) return {};
  return relative;
}

}  // namespace profile::windows
