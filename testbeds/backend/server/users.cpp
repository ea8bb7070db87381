#include "users.h"

#include <cwctype>
#include <set>

#include "dispatch_object.h"

namespace backend {

namespace {

std::wstring Trim(const std::wstring& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && std::iswspace(s[begin])) ++begin;
  while (end > begin && std::iswspace(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

std::wstring Lower(std::wstring s) {
  if (!s.empty()) CharLowerBuffW(&s[0], static_cast<DWORD>(s.size()));
  return s;
}

bool ValidPhone(const std::wstring& phone) {
  for (size_t i = 0; i < phone.size(); ++i) {
    wchar_t c = phone[i];
    if (c == L'+' && i == 0) continue;
    if (!(std::iswdigit(c) || c == L' ' || c == L'-')) return false;
  }
  return true;
}

std::optional<long> ParseStatus(const std::wstring& text) {
  static const struct {
    const wchar_t* word;
    long code;
  } kWords[] = {{L"valid", kUserValid}, {L"bypass", kUserMayBypass}, {L"locked", kUserLockedOut},
                {L"denied", kUserDenied}, {L"2", kUserLockedOut},     {L"3", kUserDenied},
                {L"4", kUserMayBypass},   {L"5", kUserValid}};
  const std::wstring lower = Lower(text);
  for (const auto& w : kWords) {
    if (lower == w.word) return w.code;
  }
  return std::nullopt;
}

[[noreturn]] void Fail(const std::wstring& file, size_t line, const std::wstring& reason) {
  throw BackendError{file + L"(" + std::to_wstring(line) + L"): " + reason};
}

}  // namespace

std::optional<std::wstring> CanonicalUserName(const std::wstring& name) {
  const std::wstring trimmed = Trim(name);
  std::wstring domain, user;
  const size_t slash = trimmed.find(L'\\');
  const size_t at = trimmed.rfind(L'@');
  if (slash != std::wstring::npos) {
    domain = trimmed.substr(0, slash);
    user = trimmed.substr(slash + 1);
    if (user.find(L'\\') != std::wstring::npos) return std::nullopt;
  } else if (at != std::wstring::npos) {
    user = trimmed.substr(0, at);
    domain = trimmed.substr(at + 1);
  } else {
    return std::nullopt;
  }
  if (domain.empty() || user.empty()) return std::nullopt;
  return Lower(domain) + L"\\" + Lower(user);
}

std::vector<UserRecord> ParseUsers(const std::wstring& text, const std::wstring& fileName) {
  std::vector<UserRecord> users;
  std::set<std::wstring> seen;
  size_t lineNumber = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(L'\n', pos);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (lineNumber == 1 && !line.empty() && line[0] == 0xFEFF) line.erase(0, 1);
    const std::wstring trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == L'#') continue;

    // name | phone | password | status; the password is everything between the
    // second and the last bar, so it may hold bars of its own.
    const size_t first = trimmed.find(L'|');
    const size_t second = first == std::wstring::npos ? first : trimmed.find(L'|', first + 1);
    const size_t last = trimmed.rfind(L'|');
    if (second == std::wstring::npos || last == second) {
      Fail(fileName, lineNumber, L"expected four fields: name | phone | password | status");
    }
    UserRecord user;
    user.name = Trim(trimmed.substr(0, first));
    user.phone = Trim(trimmed.substr(first + 1, second - first - 1));
    user.password = Trim(trimmed.substr(second + 1, last - second - 1));
    const std::wstring status = Trim(trimmed.substr(last + 1));

    auto key = CanonicalUserName(user.name);
    if (!key) Fail(fileName, lineNumber, L"user name '" + user.name + L"' needs a domain (DOMAIN\\user or user@domain)");
    if (!ValidPhone(user.phone)) Fail(fileName, lineNumber, L"bad phone number '" + user.phone + L"'");
    auto code = ParseStatus(status);
    if (!code) Fail(fileName, lineNumber, L"unknown status '" + status + L"'");
    if (!seen.insert(*key).second) Fail(fileName, lineNumber, L"user '" + user.name + L"' is listed twice");
    user.key = *key;
    user.status = *code;
    users.push_back(std::move(user));
  }
  return users;
}

}  // namespace backend
