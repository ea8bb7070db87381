// The configuration file: defaults, the sections of the other test beds,
// errors with file and line, the derived files, and the program's --check.
#include <gmock/gmock.h>

#include "gateway/gateway_config.h"
#include "gateway_fixture.h"
#include "support/test_files.h"

namespace talverin::gateway_test {
namespace {

using gateway::ConfigError;
using gateway::ParseGatewayConfig;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

// The sample of the gateway's documentation, with every user it names.
const std::string kSample =
    "# Gateway for the browser test\n"
    "[gateway]\n"
    "listen = 127.0.0.1:8080            # default 127.0.0.1:8080\n"
    "threads = 32\n"
    "filter = filter/TALVERIN.ISA.Filter.dll\n"
    "site = builtin\n"
    "download-kib = 3072\n"
    "secure = no\n"
    "idle-seconds = 30\n"
    "access-log = yes\n"
    "data = gateway-data\n"
    "\n"
    "[proxy]                            # the emulation's own settings\n"
    "request-chunk = 4096\n"
    "response-chunk = 4096\n"
    "\n"
    "[listener]\n"
    "name = Published mail\n"
    "persistent-name = {5A1D0C3E-7B2F-4E11-9C4A-0D5E6F708192}\n"
    "cookie-name = cadata\n"
    "cookie-domains-in-use = no\n"
    "[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\n"
    "Enabled = i4:1\n"
    "\n"
    "[listener {5A1D0C3E-7B2F-4E11-9C4A-0D5E6F708192}]\n"
    "fallback = none\n"
    "\n"
    "[users]\n"
    "CONTOSO\\alice | +49 170 1234567 | Alice-2fa! | valid\n"
    "CONTOSO\\erin | +1 555 0103 | Change5 | valid\n"
    "\n"
    "[user CONTOSO\\erin]\n"
    "must-change-password = yes\n";

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

class GatewayConfigTest : public testing::Test {
 protected:
  std::string Path() const { return dir_.Sub("gw.conf"); }
  std::string ErrorOf(const std::string& text) const {
    try {
      ParseGatewayConfig(text, Path(), false);
    } catch (const ConfigError& e) {
      return e.what();
    }
    return "no error";
  }
  test::ScratchDir dir_;
};

TEST_F(GatewayConfigTest, SampleIsReadWithItsSectionsAndPathsFromItsFolder) {
  GatewayConfig config = ParseGatewayConfig(kSample, Path(), false);
  EXPECT_EQ(config.listen.Text(), "127.0.0.1:8080");
  EXPECT_EQ(config.threads, 32);
  EXPECT_EQ(config.filter, dir_.path() + "\\filter\\TALVERIN.ISA.Filter.dll");
  EXPECT_TRUE(config.builtinSite);
  EXPECT_EQ(config.downloadBytes, 3072u * 1024);
  EXPECT_FALSE(config.secure);
  EXPECT_EQ(config.idleSeconds, 30);
  EXPECT_TRUE(config.accessLog);
  EXPECT_EQ(config.dataDir, dir_.path() + "\\gateway-data");
  ASSERT_EQ(config.listeners.size(), 1u);
  EXPECT_EQ(config.listeners[0].name, "Published mail");
  EXPECT_EQ(config.listeners[0].cookieName, "cadata");
  ASSERT_EQ(config.users.size(), 2u);
  EXPECT_EQ(config.users[0].password, "Alice-2fa!");
  EXPECT_TRUE(config.users[1].mustChangePassword);
  EXPECT_EQ(config.options.requestChunkBytes, 4096u);
}

TEST_F(GatewayConfigTest, DefaultsFillWhatTheFileLeavesOut) {
  GatewayConfig config = ParseGatewayConfig("[listener]\npersistent-name = {A}\ncookie-name = c\n", Path(), false);
  EXPECT_EQ(config.listen.Text(), "127.0.0.1:8080");
  EXPECT_EQ(config.threads, 32);
  EXPECT_EQ(config.filter, dir_.path() + "\\filter\\TALVERIN.ISA.Filter.dll");
  EXPECT_EQ(config.downloadBytes, 3u * 1024 * 1024);
  EXPECT_EQ(config.idleSeconds, 30);
  EXPECT_EQ(config.dataDir, dir_.path() + "\\gateway-data");
  EXPECT_THAT(config.users, IsEmpty());

  GatewayConfig other = ParseGatewayConfig(
      "[gateway]\nfilter = none\nsite = http://localhost:8081/\nlisten = localhost:0\ndata = /tmp/gw data\n"
      "secure = yes\n[listener]\npersistent-name = {A}\ncookie-name = c\n",
      Path(), true);
  EXPECT_EQ(other.filter, "") << "none: no filter, nothing to check";
  EXPECT_FALSE(other.builtinSite);
  EXPECT_EQ(other.upstream.Text(), "localhost:8081");
  EXPECT_EQ(other.listen.Text(), "127.0.0.1:0");
  EXPECT_EQ(other.dataDir, "Z:\\tmp\\gw data") << "a Linux path as Wine sees it";
  EXPECT_TRUE(other.secure);
}

struct BadCase {
  const char* name;
  std::string text;
  int line;
  const char* problem;
};

class GatewayConfigErrorTest : public GatewayConfigTest, public testing::WithParamInterface<BadCase> {};

TEST_P(GatewayConfigErrorTest, NamesTheFileAndLine) {
  std::string expected = Path() + "(" + std::to_string(GetParam().line) + "): ";
  std::string error = ErrorOf(GetParam().text);
  EXPECT_THAT(error, StartsWith(expected));
  EXPECT_THAT(error, HasSubstr(GetParam().problem));
}

const std::string kListenerLines = "[listener]\npersistent-name = {A}\ncookie-name = c\n";  // lines 1-3

INSTANTIATE_TEST_SUITE_P(
    Files, GatewayConfigErrorTest,
    testing::Values(
        BadCase{"UnknownSection", kListenerLines + "\n[gatway]\n", 5, "unknown section \"[gatway]\""},
        BadCase{"UnknownKey", kListenerLines + "[gateway]\nport = 1\n", 5, "unknown key \"port\""},
        BadCase{"KeyGivenTwice", "[gateway]\nthreads = 2\nthreads = 3\n" + kListenerLines, 3, "given twice"},
        BadCase{"OutsideASection", "threads = 2\n" + kListenerLines, 1, "outside a section"},
        BadCase{"BadThreads", "[gateway]\n# workers\nthreads = many\n" + kListenerLines, 3, "threads"},
        BadCase{"ZeroIdle", "[gateway]\nidle-seconds = 0\n" + kListenerLines, 2, "idle-seconds"},
        BadCase{"ListenWithoutPort", "[gateway]\nlisten = 127.0.0.1\n" + kListenerLines, 2, "bad listen address"},
        BadCase{"ListenOnAName", "[gateway]\nlisten = example.com:80\n" + kListenerLines, 2, "bad listen address"},
        BadCase{"ListenPortTooHigh", "[gateway]\nlisten = 127.0.0.1:70000\n" + kListenerLines, 2,
                "bad listen address"},
        BadCase{"SiteNotHttp", "[gateway]\nsite = ftp://127.0.0.1:21\n" + kListenerLines, 2, "site must be"},
        BadCase{"SecureMaybe", "[gateway]\nsecure = maybe\n" + kListenerLines, 2, "secure must be yes or no"},
        BadCase{"NoListener", "[gateway]\nthreads = 2\n", 1, "no [listener]"},
        BadCase{"ListenerWithoutCookie", kListenerLines + "[listener]\npersistent-name = {B}\n", 4,
                "no cookie-name"},
        BadCase{"TwoListenersOneName", kListenerLines + "\n[listener]\npersistent-name = {A}\ncookie-name = d\n", 5,
                "a second listener"},
        BadCase{"StoreLineWithoutEquals", "[listener]\npersistent-name = {A}\nbroken\n", 3, "key = value"},
        BadCase{"UserWithoutFields", kListenerLines + "[users]\nCONTOSO\\alice | +1 555\n", 5, "four fields"},
        BadCase{"ProxyKey", kListenerLines + "[proxy]\nrequest-chunks = 1\n", 5, "unknown key \"request-chunks\""},
        BadCase{"EmulationOfAnUnknownListener", kListenerLines + "[listener {B}]\nfallback = basic\n", 4,
                "no listener {B}"},
        BadCase{"UnknownUser", kListenerLines + "[users]\n\n[user CONTOSO\\nobody]\n", 6, "no user"},
        BadCase{"TextAfterHeader", "[gateway] x\n" + kListenerLines, 1, "after the section header"}),
    [](const testing::TestParamInfo<BadCase>& info) { return info.param.name; });

TEST_F(GatewayConfigTest, MissingFilterIsReportedAtItsLineOrAtTheSection) {
  auto error = [&](const std::string& text) {
    try {
      ParseGatewayConfig(text, Path(), true);
    } catch (const ConfigError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error("[gateway]\nthreads = 1\nfilter = missing.dll\n" + kListenerLines),
            Path() + "(3): the filter " + dir_.Sub("missing.dll") + " does not exist");
  EXPECT_THAT(error("\n[gateway]\nthreads = 1\n" + kListenerLines), StartsWith(Path() + "(2): the filter "));
  ASSERT_TRUE(test::WriteFileText(dir_.Sub("present.dll"), "MZ"));
  EXPECT_EQ(error("[gateway]\nfilter = present.dll\n" + kListenerLines), "no error");
}

TEST_F(GatewayConfigTest, DerivedFilesKeepTheLinesOfTheConfiguration) {
  GatewayConfig config = ParseGatewayConfig(kSample, Path(), false);
  gateway::WriteDerivedFiles(config);
  const std::vector<std::string> source = LinesOf(kSample);
  const std::vector<std::string> store = LinesOf(test::ReadFileText(config.StorePath()));
  const std::vector<std::string> users = LinesOf(test::ReadFileText(config.UsersPath()));
  ASSERT_EQ(store.size(), source.size());
  ASSERT_EQ(users.size(), source.size());
  for (size_t i = 0; i < source.size(); ++i) {
    const bool storeLine = i >= 16 && i <= 22;  // [listener] and its [set]
    const bool userLine = i == 28 || i == 29;
    EXPECT_EQ(store[i], storeLine ? source[i] : "") << "store.conf line " << i + 1;
    EXPECT_EQ(users[i], userLine ? source[i] : "") << "users.txt line " << i + 1;
  }
}

// The program itself, with its output in files.
struct RunResult {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out, err;
};

RunResult RunGateway(const std::string& arguments, const test::ScratchDir& dir) {
  RunResult result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // Files of each run's own: an ended child's handles may outlive it briefly.
  static int run = 0;
  ++run;
  const std::string outPath = dir.Sub("stdout" + std::to_string(run) + ".txt");
  const std::string errPath = dir.Sub("stderr" + std::to_string(run) + ".txt");
  {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    UniqueHandle out(CreateFileA(outPath.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr));
    UniqueHandle err(CreateFileA(errPath.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr));
    if (!out || !err) return result;
    UniqueHandle in(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.Get();
    startup.hStdOutput = out.Get();
    startup.hStdError = err.Get();
    PROCESS_INFORMATION process{};
    std::string command = "\"" + gateway::ResolvePath({}, TALVERIN_GATEWAY_EXE) + "\" " + arguments;
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
      return result;
    }
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.hProcess, &result.exitCode);
    }
  }
  result.out = test::ReadFileText(outPath);
  result.err = test::ReadFileText(errPath);
  return result;
}

TEST_F(GatewayConfigTest, CheckWritesTheDerivedFilesAndSaysNothing) {
  std::string text = kSample;
  text.replace(text.find("filter/TALVERIN.ISA.Filter.dll"), 30, "none");
  ASSERT_TRUE(test::WriteFileText(Path(), text));
  RunResult good = RunGateway("\"" + Path() + "\" --check", dir_);
  EXPECT_EQ(good.exitCode, 0u) << good.err;
  EXPECT_EQ(good.out, "");
  EXPECT_EQ(good.err, "");
  EXPECT_EQ(LinesOf(test::ReadFileText(dir_.Sub("gateway-data\\store.conf")))[16], "[listener]");
  EXPECT_EQ(LinesOf(test::ReadFileText(dir_.Sub("gateway-data\\users.txt")))[28],
            "CONTOSO\\alice | +49 170 1234567 | Alice-2fa! | valid");

  const std::string badPath = dir_.Sub("bad.conf");
  ASSERT_TRUE(test::WriteFileText(badPath, "[gateway]\nthreads = 2\nsecure = perhaps\n"));
  RunResult bad = RunGateway("\"" + badPath + "\" --check", dir_);
  EXPECT_EQ(bad.exitCode, 2u);
  EXPECT_EQ(bad.err, badPath + "(3): secure must be yes or no\n");
  EXPECT_EQ(bad.out, "");

  RunResult badListen = RunGateway("\"" + Path() + "\" --listen nowhere --check", dir_);
  EXPECT_EQ(badListen.exitCode, 2u);
  EXPECT_THAT(badListen.err, HasSubstr("--listen nowhere"));
}

}  // namespace
}  // namespace talverin::gateway_test
