#include "client/helperctl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "client/auth_agent.h"
#include "client/records.h"
#include "client/top.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "testsupport/testsupport.h"
#include "transport/message.h"

namespace korvane {
namespace {

using Kind = Command::Kind;
using L = ListingKind;
using Ints = std::vector<std::int64_t>;
using namespace std::string_literals;

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), {}};
}

Command parse(std::vector<std::string> args) {
  auto r = parseCommandLine(args);
  if (auto* e = std::get_if<std::string>(&r)) ADD_FAILURE() << *e;
  return std::get_if<Command>(&r) ? std::get<Command>(r) : Command{};
}

TEST(HelperctlArgs, ValuesMayStartWithADashListsAddUpAndHelpIsTheSubcommands) {
  // "signal -STOP PID" and "terminate -1" go through as ControlE2E sends them.
  Command c = parse(words("--json uninstall --json"));
  EXPECT_EQ(std::tie(c.kind, c.text, c.json), std::tuple(Kind::kUninstall, "--json"s, true));
  c = parse({"signal", "-sigRtmin+30", "7", "--json"});
  EXPECT_EQ(std::tie(c.text, c.pid, c.json), std::tuple("-sigRtmin+30"s, 7, true));
  for (const char* signal : {"-0", "-64", "-09", "-Stop", "-SIGRTMIN", "-cld"})
    EXPECT_EQ(parse({"signal", signal, "1"}).text, signal);
  c = parse({"firewall", "enable", "--inbound-tcp", "22,80", "--outbound-udp=53", "--inbound-udp",
             "0,65535", "--outbound-tcp", "", "--inbound-tcp", "8"});
  EXPECT_EQ(c.kind, Kind::kFirewallEnable);
  EXPECT_EQ(std::tie(c.inboundTCP, c.outboundTCP, c.inboundUDP, c.outboundUDP),
            std::tuple(Ints{22, 80, 8}, Ints{}, Ints{0, 65535}, Ints{53}));
  c = parse(words("--json process-data --sort -cpu_ns --records --user 7"));
  EXPECT_EQ(std::tie(c.listing, c.json, c.records, c.user, c.selection.reverse),
            std::tuple(L::kProcessData, true, true, std::optional("7"s), true));
  EXPECT_EQ(c.selection.sortField, fieldIndex(L::kProcessData, "cpu_ns"));
  const testsupport::TempDir dir;
  testsupport::writeFile(dir.file("passwd"), "root:x:0:0::/:/bin/sh\n42:x:7:7::/:/bin/sh\n");
  EXPECT_EQ(findUser("0", dir.file("passwd")), (UserId{0, "root"}));
  EXPECT_EQ(findUser("42", dir.file("passwd")), (UserId{7, "42"}));  // a name first
  EXPECT_EQ(findUser("9", dir.file("passwd")), (UserId{9, ""}));
  for (const char* unknown : {"bob", "-1", "4294967295", "0x1"})
    EXPECT_EQ(findUser(unknown, dir.file("passwd")), std::nullopt) << unknown;
  c = parse(words("top --interval 0.5 --sort -memory"));
  EXPECT_EQ(std::tie(c.kind, c.interval, c.topSort, c.selection.reverse),
            std::tuple(Kind::kTop, 0.5, TopSort::kMemory, true));
  // Help is the subcommand's; "-h" is not a value there.
  c = parse(words("signal -STOP -h"));
  EXPECT_EQ(c.kind, Kind::kHelp);
  EXPECT_NE(c.text.find("\nUsage: korvane-helperctl signal"), std::string::npos) << c.text;
}

// The program as a person meets it: each error names what is wrong,
// with the exit status the manual gives. None of these reaches the helper.
// (Which signal texts are refused is SignalArgument's: the client asks it.)
TEST(HelperctlArgs, ErrorsBeforeTheHelperNameWhatIsWrongWithTheirExitStatus) {
  const struct {
    const char* name;
    const char* line;  // for /bin/sh
    int status;
    const char* error;
  } kCases[] = {
      // clang-format off
      {"no subcommand", "", 2, "a subcommand is needed"},
      {"unknown subcommand", "--json ps", 2, "unknown subcommand: ps (one of detailed-processes,"},
      {"unknown firewall subcommand", "firewall bogus", 2, "unknown subcommand: bogus (one of enable, disable, status); see 'korvane-helperctl firewall --help'"},
      {"no firewall subcommand", "firewall", 2, "A subcommand is required"},
      {"no pid", "terminate", 2, "PID is required"},
      {"pid not decimal", "terminate 0x10", 2, "PID must be a decimal integer: 0x10"},
      {"pid beyond 64 bits", "terminate 99999999999999999999", 2, "decimal integer"},
      {"a pid too many", "terminate 1 2", 2, "not expected: 2; see 'korvane-helperctl terminate --help'"},
      {"a pid too many after an option", "signal -STOP 1 --json 3", 2, "not expected: 3;"},
      {"a word after a listing", "detailed-processes extra", 2, "not expected: extra"},
      {"another listing's field", "detailed-processes --sort cpu_ns", 2, "--sort: cpu_ns not in"},
      {"interval too short", "top --interval 0", 2, "--interval"},
      {"no ports", "firewall enable --inbound-tcp", 2, "--inbound-tcp"},
      {"empty port", "firewall enable --inbound-tcp 22,,80", 2, "not a list of integers: 22,,80"},
      {"port out of range", "firewall enable --outbound-udp 53,65536", 2, "--outbound-udp: 65536 is not a port (0 to 65535)"},
      {"frames outside batch mode", "top -n 2", 2, "-n: frames are counted in batch mode only (-b)"},
      {"unknown option", "firewall enable --sideways 1", 2, "--sideways"},
      {"raw and json", "--raw --json process-data", 2, "--raw and --json exclude each other"},
      {"records without json", "--records process-data", 2, "--records needs --json"},
      {"records of a flag", "--json --records firewall disable", 2, "--records: firewall disable has no records"},
      {"unknown signal", "signal -FOO 1", 2, "unknown signal: -FOO; valid signals: a dash and one of HUP INT"},
      {"output unwritable", "--help >/dev/full", 74, "cannot write the output: No space left on device"},
      {"unknown user", "process-data --user no-such-user", 2, "no such user: no-such-user"},
      // clang-format on
  };
  for (const auto& c : kCases) {
    const auto r = testsupport::run({"/bin/sh", "-c", KORVANE_HELPERCTL_PATH " "s + c.line});
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << c.name << r.err;
  }
}

std::vector<Record> parseAll(L kind, const std::vector<std::string>& elements) {
  std::vector<Record> out;
  for (const auto& e : elements) out.push_back(parseRecord(kind, e).value());
  return out;
}

TEST(Records, ParseEachListingsShapeSelectByUserAndSortFieldThenFormat) {
  using F = std::vector<FieldValue>;
  auto fields = [](L kind, const std::string& element) {
    auto r = parseRecord(kind, element);
    return r ? r->fields : F{};
  };
  EXPECT_EQ(fields(L::kDetailedProcesses, "7|bob|16384.0|1048576.0|3|/opt/a|b/a|b|a|b"),
            (F{7, "bob", 16384, 1048576, 3, "a|b", "/opt/a|b/a|b"}));
  EXPECT_EQ(fields(L::kDetailedProcesses, "2|0|0.0|0.0|1|Unknown|kw/0:1|x"),
            (F{2, "0", 0, 0, 1, "kw/0:1|x", "Unknown"}));
  EXPECT_EQ(fields(L::kProcessData, "9|1000|4096|2|1500000000|a|b"),
            (F{9, 1000, 4096, 2, 1500000000, "a|b"}));
  EXPECT_EQ(fields(L::kSystemProcesses, "root   42 12.5 Web Content"),
            (F{42, "root", 12.5, "Web Content"}));
  EXPECT_EQ(fields(L::kDetailedProcesses, "2|root|0.5x|0.0|1|Unknown|k"), F{});
  EXPECT_EQ(fields(L::kProcessData, "9|1000|4096|2|1500000000"), F{});
  EXPECT_EQ(fields(L::kSystemProcesses, "USER       PID %CPU COMMAND"), F{});

  const auto records =
      parseAll(L::kProcessData, {"30|0|10|1|5|c", "10|1000|30|1|5|a", "20|0|20|1|9|b"});
  // ps shows both long names as "averyve+": the uids of process data tell them apart.
  const std::map<L, std::vector<Record>> kListings = {
      {L::kProcessData, records},
      {L::kDetailedProcesses,
       parseAll(L::kDetailedProcesses, {"1|root|0|0|1|/a|a", "2|7|0|0|1|/b|b"})},
      {L::kSystemProcesses, parseAll(L::kSystemProcesses, {"averyve+ 4 0 a", "averyve+ 5 0 b",
                                                           "root 6 0 c", "4343 7 0 d"})}};
  const struct {
    const char* name;
    L kind;
    std::int64_t uid;  // -1: no --user
    const char* user;
    std::optional<std::size_t> sort;
    bool reverse;
    Ints pids;
  } kSelections[] = {
      {"CPU time: largest first, then pid", L::kProcessData, -1, "", 4, false, {20, 10, 30}},
      {"CPU time: the other way, then pid", L::kProcessData, -1, "", 4, true, {10, 30, 20}},
      {"pid: the other way", L::kProcessData, -1, "", 0, true, {30, 20, 10}},
      {"uid, by pid", L::kProcessData, 0, "root", {}, false, {20, 30}},
      {"name", L::kDetailedProcesses, 0, "root", {}, false, {1}},
      {"uid without a name", L::kDetailedProcesses, 7, "", {}, false, {2}},
      {"ps: a short name", L::kSystemProcesses, 0, "root", {}, false, {6}},
      {"ps: a cut name", L::kSystemProcesses, 4242, "averyverylong", {}, false, {4}},
      {"ps: a uid without a name", L::kSystemProcesses, 4343, "", {}, false, {7}},
  };
  for (const auto& c : kSelections) {
    Selection selection{UserId{c.uid, c.user}, c.sort, c.reverse};
    if (c.uid < 0) selection.user.reset();
    Ints pids;
    for (const auto& r :
         selectRecords(c.kind, kListings.at(c.kind), selection, {{4, 4242}, {5, 4243}, {6, 0}}))
      pids.push_back(std::get<std::int64_t>(r.fields[0]));
    EXPECT_EQ(pids, c.pids) << c.name;
  }

  const auto detailed = parseAll(
      L::kDetailedProcesses,
      {"12|bob|11821056.0|49500160.0|38|Unknown|api", "3|root|512.0|0.0|1|/bin/s\x1b[2Jh|s\x1bh"});
  EXPECT_EQ(
      formatTable(L::kDetailedProcesses, selectRecords(L::kDetailedProcesses, detailed, {}, {}), 0),
      "PID USER RESIDENT  VIRTUAL THREADS NAME PATH\n"
      "  3 root    512 B      0 B       1 s?h  /bin/s?[2Jh\n"
      " 12 bob  11.3 MiB 47.2 MiB      38 api  Unknown\n");
  EXPECT_EQ(formatTable(L::kDetailedProcesses, {detailed[0]}, 12), "PID USER RES\n 12 bob  11.\n");
  EXPECT_EQ(formatJsonRecords(L::kDetailedProcesses, {detailed[0]}),
            "[\n{\"pid\":12,\"user\":\"bob\",\"resident\":11821056,\"virtual\":49500160,"
            "\"threads\":38,\"name\":\"api\",\"path\":\"Unknown\"}\n]\n");
  EXPECT_EQ(formatSelectedListing(parse(words("system-processes --sort cpu")),
                                  {"USER PID %CPU COMMAND", "root 2 0.0 a", "bob 3 5.0 b"},
                                  Form::kExact, 0, {}),
            "USER PID %CPU COMMAND\nbob 3 5.0 b\nroot 2 0.0 a\n");
  EXPECT_EQ(formatJsonRecords(L::kSystemProcesses, {}), "[]\n");
  EXPECT_EQ(formatListing({}, Form::kJson), "[]\n");
  EXPECT_EQ(cpuTimeText(3723999999999), "1:02:03");
  EXPECT_EQ(terminalText("a\u009bb\u00e9cd", 4), "a?b\u00e9");
}

// Names and paths of other users' processes, and names of files being
// removed, reach standard output in every form.
TEST(Output, ControlsReachATerminalDefusedAPipeExactlyAndJsonEscaped) {
  const struct {
    const char* name;
    std::string bytes, terminal, json;  // json: inside the quotes
  } kCases[] = {
      {"OSC title, SGR", "\x1b]0;t\x07\x1b[31m", "?]0;t??[31m", "\\u001b]0;t\\u0007\\u001b[31m"},
      {"C1 CSI in UTF-8", "a\u009bm", "a?m", "a\\u009bm"},
      {"C1 CSI as a raw byte", "a\x9Bm", "a\uFFFDm", "a\uFFFDm"},
      {"separators, DEL", "\u2028\u2029\x7f", "\u2028\u2029?", "\\u2028\\u2029\\u007f"},
      {"quote, newline, invalid", "a\"b\\c\n\xFF", "a\"b\\c?\uFFFD", "a\\\"b\\\\c\\n\uFFFD"},
      {"empty", "", "", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(formatListing({c.bytes}, Form::kExact), c.bytes + "\n");
    EXPECT_EQ(formatListing({c.bytes}, Form::kTerminal), c.terminal + "\n");
    EXPECT_EQ(formatListing({c.bytes}, Form::kJson), "[\"" + c.json + "\"]\n");
    EXPECT_EQ(formatFlagMessage({false, c.bytes}, Form::kExact), "NO\n" + c.bytes + "\n");
    EXPECT_EQ(formatFlagMessage({false, c.bytes}, Form::kTerminal), "NO\n" + c.terminal + "\n");
    EXPECT_EQ(formatFlagMessage({false, c.bytes}, Form::kJson),
              "{\"success\": false, \"message\": \"" + c.json + "\"}\n");
    EXPECT_EQ(
        formatJsonRecords(L::kProcessData, parseAll(L::kProcessData, {"1|0|0|1|0|" + c.bytes})),
        "[\n{\"pid\":1,\"uid\":0,\"resident\":0,\"threads\":1,\"cpu_ns\":0,\"name\":\"" + c.json +
            "\"}\n]\n");
  }
  int terminal = -1, other = -1, pipe[2];
  ASSERT_TRUE(::openpty(&terminal, &other, nullptr, nullptr, nullptr) == 0 &&
              ::pipe2(pipe, O_CLOEXEC) == 0);
  const platform::UniqueFd owners[] = {platform::UniqueFd(terminal), platform::UniqueFd(other),
                                       platform::UniqueFd(pipe[0]), platform::UniqueFd(pipe[1])};
  EXPECT_EQ(outputForm(parse(words("--raw process-data")), other), Form::kTerminal);
  EXPECT_EQ(outputForm(parse(words("--raw process-data")), pipe[1]), Form::kExact);
  EXPECT_EQ(outputForm(parse(words("--json uninstall /a/b")), other), Form::kJson);
}

TEST(Top, CpuPercentFromTheChangeOfCpuTimeAndDetailedListingOnlyWhenProcessesChange) {
  TopSampler sampler;
  const Listing first = {"1|0|10|1|1000000000|a", "2|0|10|1|5000000000|b"};
  ASSERT_TRUE(sampler.needsDetailed(first));
  sampler.next(first, 0, nullptr);
  // 2 is a new process on a reused pid (less CPU time than before).
  const Listing second = {"1|0|10|2|2000000000|a", "2|0|10|1|1|c", "3|0|900|1|1|d"};
  const Listing detailed = {"1|alice|10.0|0.0|2|/bin/a|a"};
  EXPECT_TRUE(sampler.needsDetailed(second));
  auto ps = sampler.next(second, 500000000, &detailed);
  ASSERT_EQ(ps.size(), 3u);
  EXPECT_EQ(std::tie(ps[0].cpuPercent, ps[0].user, ps[0].path),
            std::tuple(200.0, "alice"s, "/bin/a"s));
  EXPECT_EQ(std::tie(ps[1].cpuPercent, ps[2].user), std::tuple(0.0, "0"s));
  // Only CPU time and sizes changed: users and paths are kept, until the
  // tenth refresh; a changed uid or name, or a new pid, asks again.
  const Listing busier = {"1|0|20|2|3000000000|a", "2|0|10|1|9|c", "3|0|900|1|5|d"};
  for (int i = 1; i < TopSampler::kDetailedEvery; ++i) {
    EXPECT_FALSE(sampler.needsDetailed(busier)) << i;
    EXPECT_EQ(sampler.next(busier, 500000000 + i, nullptr)[0].user, "alice");
  }
  EXPECT_TRUE(sampler.needsDetailed(busier));
  sampler.next(busier, 600000000, &detailed);
  for (const Listing& changed : {Listing{"1|5|20|2|3000000000|a", "2|0|10|1|9|c", "3|0|9|1|5|d"},
                                 Listing{"1|0|20|2|3000000000|a", "2|0|10|1|9|x", "3|0|9|1|5|d"},
                                 Listing{"1|0|20|2|3000000000|a", "2|0|10|1|9|c", "4|0|9|1|5|d"}}) {
    EXPECT_TRUE(sampler.needsDetailed(changed)) << changed[0] << changed[1] << changed[2];
  }
  // A process that ended asks for nothing; its pid given again later does.
  const Listing fewer = {"1|0|20|2|3000000000|a", "3|0|9|1|5|d"};
  EXPECT_FALSE(sampler.needsDetailed(fewer));
  sampler.next(fewer, 700000000, nullptr);
  EXPECT_TRUE(sampler.needsDetailed(busier));
  sortProcesses(ps, TopSort::kMemory);
  EXPECT_EQ(ps[0].pid, 3);
  sortProcesses(ps, TopSort::kMemory, true);  // ties still by pid
  EXPECT_EQ(std::tie(ps[0].pid, ps[2].pid), std::tuple(1, 3));
}

std::vector<TopProcess> named(const std::vector<std::tuple<int, int, std::string>>& rows) {
  std::vector<TopProcess> ps;
  for (const auto& [pid, uid, name] : rows) {
    ps.push_back({pid, uid, uid == 0 ? "root" : std::to_string(uid), 0, 1, 0, 0, name, ""});
  }
  return ps;
}

void type(TopView& view, const std::string& keys) {
  for (const KeyPress& key : decodeKeys(keys)) view.press(key);
}

TEST(Top, SelectionFollowsItsProcessAndSignalsGoToTheProcessAskedAbout) {
  TopView view(TopSort::kPid);
  view.update(named({{5, 0, "e"}, {7, 0, "a"}, {9, 0, "z"}}));
  view.press({Key::kDown, 0});
  view.press({Key::kChar, 'n'});  // by name: 7 moves to the top, still selected
  // Asks first (the end-to-end test reads the question).
  EXPECT_FALSE(view.press({Key::kChar, 's'}));
  auto signal = view.press({Key::kChar, 'y'});
  ASSERT_TRUE(signal);
  EXPECT_EQ(std::tie(signal->name, signal->pid), std::tuple("SIGSTOP"s, 7));
  view.press({Key::kChar, 'k'});
  EXPECT_FALSE(view.press({Key::kChar, 'n'}));  // anything but y declines
  // A question whose process ends before the answer: ControlE2E, in tmux.
  view.update(named({{3, 0, "b"}, {5, 0, "e"}, {9, 0, "z"}}));
  int selected = 0;
  // Two process rows fit: moving down scrolls, every line keeps the width.
  view.press({Key::kChar, 'R'});  // z, e, b
  view.press({Key::kEnd, 0});
  auto screen = view.render(50, 6, &selected);
  EXPECT_EQ(selected, 3);
  EXPECT_TRUE(screen[3].starts_with("      3 ")) << screen[3];
  EXPECT_TRUE(screen[0].starts_with("3 processes  CPU 0.0%  sorted by name, reversed"))
      << screen[0];
  for (const auto& line : screen) EXPECT_EQ(line.size(), 50u) << line;
}

TEST(Top, FiltersByUserAndNameHelpAndBatchFrames) {
  TopView view(TopSort::kPid);
  view.update(named({{1, 0, "init"}, {20, 1000, "Sleep"}, {30, 1000, "bash"}, {40, 0, "sleepd"}}));
  const struct {
    const char* name;
    std::string keys;
    std::vector<std::int64_t> shown;
  } kCases[] = {
      {"a name, ignoring case", "/sLEEp\r", {20, 40}},
      {"and a uid", "u1000\r", {20}},
      {"a user name, the name filter emptied", "uroot\r/\r", {1, 40}},
      {"Escape keeps the filter; q is a letter", "/q\x1b", {1, 40}},
      {"backspace", "u1000x\x7f\r", {20, 30}},
      {"all again", "u\r", {1, 20, 30, 40}},
  };
  for (const auto& c : kCases) {
    type(view, c.keys);
    std::vector<std::int64_t> shown;
    std::istringstream frame(view.frame());
    std::string line;
    std::getline(frame, line);
    std::getline(frame, line);
    EXPECT_EQ(line, "    PID USER       CPU%    MEMORY  THR      TIME NAME") << c.name;
    while (std::getline(frame, line)) shown.push_back(std::stoll(line));
    EXPECT_EQ(shown, c.shown) << c.name;
    EXPECT_FALSE(view.quit()) << c.name;
  }
  EXPECT_TRUE(view.frame().starts_with("4 processes  CPU 0.0%  sorted by pid\n"));
  type(view, "h");
  int selected = 0;
  EXPECT_EQ(view.render(40, 20, &selected)[0], "Keys" + std::string(36, ' '));
  type(view, "xq");  // any key leaves the help, q quits
  EXPECT_TRUE(view.quit());
}

// A listening socket at `path` whose clients see `uid` as its server
// (SO_PEERCRED tells the effective uid of the listen() call).
platform::UniqueFd listenAs(const std::string& path, uid_t uid) {
  sockaddr_un addr;
  platform::unixSocketAddress(path, &addr);
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(::seteuid(uid), 0);
  const int listening = ::listen(fd.get(), 1);
  EXPECT_TRUE(::seteuid(0) == 0 && listening == 0);
  return fd;
}

// A squatter on the path that admits everyone must be sent nothing. A helper
// that stopped ends the connection; a wedged one sends nothing: a person must
// be told which, before and after the admission.
TEST(HelperClient, RefusesASocketNotServedByRootAndTellsEndedNoReplyAndRefusedListingApart) {
  const testsupport::TempDir dir;
  std::string error;
  ConnectFailure failure;
  EXPECT_EQ(HelperClient::connect(dir.file("none.socket"), &failure, &error), nullptr);
  EXPECT_EQ(failure, ConnectFailure::kNoHelper);
  const struct {
    const char* name;
    uid_t server;
    bool admit, silent, refuse;
    ConnectFailure failure;  // when not admitted
    CallFailure call;        // when admitted
    const char* error;
  } kCases[] = {
      // clang-format off
      {"a squatter admitting all", 65534, true, false, false, ConnectFailure::kUntrustedSocket, {},
       "it is not served by root"},
      {"ended before the admission", 0, false, false, false, ConnectFailure::kNotAdmitted, {},
       "the daemon did not admit this client (the helper ended the connection)"},
      {"silent before the admission", 0, false, true, false, ConnectFailure::kOther, {},
       "the helper neither admitted nor refused this client within 1 s"},
      {"ended before replying", 0, true, false, false, {}, CallFailure::kEnded,
       "the helper ended the connection before replying to terminateProcessWithPid:"},
      {"silent after the request", 0, true, true, false, {}, CallFailure::kTimedOut,
       "no reply within 1 s to terminateProcessWithPid:"},
      {"refused the listing", 0, true, false, true, {}, CallFailure::kNotAuthorized,
       "the helper does not authorize this user for fetchDetailedProcessesWithCompletion:"},
      // clang-format on
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(std::string(c.name) + ".socket");
    const platform::UniqueFd listener = listenAs(path, c.server);
    std::thread serve([&] {
      platform::UniqueFd peer(::accept(listener.get(), nullptr, nullptr));
      char buf[512];
      if (c.admit) {
        platform::sendAll(peer.get(), transport::frame(transport::encodeAdmitted()));
        // The request; a squatter reads none (0, or -1 when reset with its frame unread).
        const ssize_t request = ::read(peer.get(), buf, sizeof buf);
        EXPECT_TRUE(c.server == 0 ? request > 0 : request <= 0) << request;
      }
      if (c.refuse)
        platform::sendAll(peer.get(), transport::frame(transport::encodeNotAuthorized()));
      while (c.silent && ::read(peer.get(), buf, sizeof buf) > 0) {
      }
    });
    failure = ConnectFailure::kOther;
    auto helper = HelperClient::connect(path, &failure, &error, 1);
    EXPECT_EQ(helper != nullptr, c.admit && c.server == 0);
    if (helper) {
      EXPECT_FALSE(c.refuse ? helper->fetchDetailedProcesses(&error).has_value()
                            : helper->terminateProcess(1, &error).has_value());
      EXPECT_EQ(helper->lastFailure(), c.call) << c.name;
      // What korvane-helperctl prints and exits with.
      EXPECT_EQ(callFailureStatus(c.call), c.refuse ? 77 : kExitUnavailable) << c.name;
      EXPECT_EQ(callAdvice(c.call, error),
                c.refuse ? "not authorized to list processes (ask an administrator, or see "
                           "korvane-helperctl(1))"
                         : error);
    } else {
      EXPECT_EQ(failure, c.failure);
    }
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    helper.reset();
    serve.join();
  }
}

TEST(AuthAgent, ALoginSessionIsASessionScopePastTheSlicesAndAMissingAgentNoAgent) {
  const struct {
    const char* name;
    const char* cgroup;  // /proc/self/cgroup
    bool session;
  } kCases[] = {
      {"desktop", "0::/user.slice/user-1000.slice/session-3.scope\n", true},
      {"greeter", "0::/user.slice/user-113.slice/session-c1.scope\n", true},
      {"below the scope", "0::/user.slice/user-1000.slice/session-3.scope/x\n", true},
      {"legacy hierarchy", "3:cpu:/\n1:name=systemd:/user.slice/session-2.scope\n0::/\n", true},
      {"user manager's app",
       "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "session-9.scope\n",
       false},
      {"system service", "0::/system.slice/ssh.service\n", false},
      {"namespace root", "0::/\n", false},
      {"no id", "0::/user.slice/session-.scope\n", false},
      {"id not alphanumeric", "0::/user.slice/session-a_b.scope\n", false},
      {"a controller's line", "3:cpu:/user.slice/session-3.scope\n0::/\n", false},
      {"unreadable", "", false},
  };
  for (const auto& c : kCases) EXPECT_EQ(inLoginSession(c.cgroup), c.session) << c.name;
  // Without an agent the client goes on, and a request that needs a password is denied.
  EXPECT_FALSE(AuthAgent::start(false, "/nonexistent/pkttyagent").running());
}

}  // namespace
}  // namespace korvane
