// qvbench as a program: its port map entries come and go with it, it stops
// on the end of its input and on SIGTERM, the default set-up serves a dongle
// and a server that identify themselves, and its protocol side survives a
// client that sends broken subnegotiations.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "serial/PortMap.h"
#include "serial/rfc2217/Telnet.h"
#include "tests/rfc2217/NetSupport.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace rfc2217;
using test::TBench;
using test::TChild;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class BenchPortsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "qvbench-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    FDir = tmpl;
    FFile = FDir / "qvtune.ports";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }
  fs::path FDir, FFile;
};

// "@0" and "@1" stand for the bench's two network ports.
struct TPortsFileCase {
  const char* Name;
  const char* Before;
  const char* Running;
};

void PrintTo(const TPortsFileCase& c, std::ostream* os) {
  *os << c.Name;
}

class BenchPortsFileCases : public BenchPortsFile, public ::testing::WithParamInterface<TPortsFileCase> {};

// While the bench runs the tool reads its ports from the file; once it has
// stopped the file is as the operator left it.
TEST_P(BenchPortsFileCases, EntriesInForceWhileRunningAndTheFileBackAfterwards) {
  const TPortsFileCase& c = GetParam();
  std::ofstream(FFile, std::ios::binary) << c.Before;
  {
    TBench bench({"--ports-file", FFile.string()});
    ASSERT_EQ(bench.Ports.size(), 2u);
    EXPECT_EQ(bench.Ports[0].first, "COM31");
    EXPECT_EQ(bench.Ports[1].first, "COM32");
    std::string running = c.Running;
    for (size_t at; (at = running.find('@')) != std::string::npos;)
      running.replace(at, 2, bench.Url(running[at + 1] - '0'));
    const std::string text = ReadFile(FFile);
    EXPECT_EQ(text, running);
    std::map<std::string, std::string> inForce;
    for (const TPortMapEntry& e : ParsePortMap(text))
      if (e.Name == "COM31" || e.Name == "COM32") inForce.emplace(e.Name, e.Target);
    EXPECT_EQ(inForce, (std::map<std::string, std::string>{{"COM31", bench.Url(0)}, {"COM32", bench.Url(1)}}));
    bench.Child.CloseInput();
    EXPECT_EQ(bench.Child.Wait(5000), 0);
  }
  EXPECT_EQ(ReadFile(FFile), c.Before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BenchPortsFileCases,
    ::testing::Values(
        TPortsFileCase{"OthersKept", "# my ports\nCOM5=/dev/ttyS0\n",
                       "# my ports\nCOM5=/dev/ttyS0\nCOM31=@0\nCOM32=@1\n"},
        TPortsFileCase{"OperatorsEntriesOfTheSameNamesComeBack",
                       "# my ports\r\nCOM32 = /dev/ttyUSB1\r\nCOM5=/dev/ttyS0\r\nCOM31=rfc2217://10.0.0.9:1\r\n",
                       "# my ports\r\nCOM32=@1\nCOM32 = "
                       "/dev/ttyUSB1\r\nCOM5=/dev/ttyS0\r\nCOM31=@0\nCOM31=rfc2217://10.0.0.9:1\r\n"},
        // The tool takes no name with a CR in it, so that line is no COM31.
        TPortsFileCase{"NameWithCarriageReturnIsNoneOfOurs", "COM31\r=/dev/ttyUSB7\n# COM32=/dev/ttyUSB8\n",
                       "COM31\r=/dev/ttyUSB7\n# COM32=/dev/ttyUSB8\nCOM31=@0\nCOM32=@1\n"}),
    [](const ::testing::TestParamInfo<TPortsFileCase>& tpi) { return std::string(tpi.param.Name); });

TEST_F(BenchPortsFile, FileItCreatedGoesOnSigterm) {
  TBench bench({"--echo", "--ports-file", FFile.string()});
  ASSERT_EQ(bench.Ports.size(), 1u);
  EXPECT_EQ(ReadFile(FFile), "COM31=" + bench.Url() + "\n");
  ASSERT_EQ(kill(bench.Child.Pid(), SIGTERM), 0);
  EXPECT_EQ(bench.Child.Wait(5000), 0);
  EXPECT_FALSE(fs::exists(FFile));
}

TEST_F(BenchPortsFile, EntryChangedMeanwhileIsLeftAlone) {
  TBench bench({"--echo", "--ports-file", FFile.string()});
  ASSERT_EQ(bench.Ports.size(), 1u);
  std::ofstream(FFile) << "COM31=/dev/ttyUSB0\n";
  bench.Child.CloseInput();
  EXPECT_EQ(bench.Child.Wait(5000), 0);
  EXPECT_EQ(ReadFile(FFile), "COM31=/dev/ttyUSB0\n");
}

TEST(BenchProgram, UnknownOptionIsAUsageError) {
  TChild child({test::QvbenchPath(), "--bogus"}, true);
  EXPECT_EQ(child.Wait(5000), 2);
}

TEST(BenchProgram, PortInUseFailsTheStart) {
  TBench first({"--echo"});
  ASSERT_EQ(first.Ports.size(), 1u);
  const std::string url = first.Url();
  const std::string port = url.substr(url.rfind(':') + 1);
  TChild second({test::QvbenchPath(), "--echo", "--base-port", port}, true);
  EXPECT_EQ(second.Wait(5000), 1);
}

// The identification handshake, byte by byte through the port component.
std::string Identify(const std::string& url) {
  TComPort port(nullptr);
  port.SetDeviceName(url);
  port.SetBaudRate(br9600);
  port.SetDataBits(db8);
  port.SetParity(paNone);
  port.SetStopBits(sb1);
  port.FlowControl().SetDTR(dcEnable);
  port.FlowControl().SetRTS(rcEnable);
  port.Timeouts().SetReadConstant(250);
  port.Open();
  std::string answers;
  auto exchange = [&](uint8_t b) {
    port.WriteByte(b);
    answers.push_back(static_cast<char>(port.ReadByte()));
  };
  exchange(0x80);
  exchange(0x00);
  exchange(0xA5);
  for (int i = 0; i < 16; ++i) exchange(0x55);
  return answers;
}

TEST(BenchProgram, DefaultSetUpServesADongleAndAServer) {
  TBench bench(std::vector<std::string>{});  // the default set-up
  ASSERT_EQ(bench.Ports.size(), 2u);
  EXPECT_EQ(Identify(bench.Url(0)), "\x12\x55\xF0QV0DONGLE0000001");
  EXPECT_EQ(Identify(bench.Url(1)), "\x20\x55\xF0RFQVSERVER000123");
}

// A client of our own making that speaks the option by hand.
class TRawClient final : public TTelnetSink {
 public:
  explicit TRawClient(const std::string& url) {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    std::string out;
    FTelnet.Start(out);
    Send(out);
  }
  ~TRawClient() override { close(FFd); }

  void Send(const std::string& wire) {
    if (!wire.empty()) (void)!send(FFd, wire.data(), wire.size(), MSG_NOSIGNAL);
  }
  // Reads until the data received holds `text`.
  bool WaitData(const std::string& text, int timeoutMs = 3000) {
    return WaitFor([&] { return Data.find(text) != std::string::npos; }, timeoutMs);
  }
  bool WaitCommand(uint8_t command, int timeoutMs = 3000) {
    return WaitFor([&] { return std::find(Commands.begin(), Commands.end(), command) != Commands.end(); }, timeoutMs);
  }
  template <class TDone>
  bool WaitFor(TDone done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{FFd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      uint8_t buf[4096];
      const ssize_t r = recv(FFd, buf, sizeof buf, 0);
      if (r <= 0) return false;
      std::string out;
      FTelnet.Feed(buf, static_cast<size_t>(r), *this, out);
      Send(out);
    }
    return true;
  }

  void OnData(const uint8_t* data, size_t n) override { Data.append(reinterpret_cast<const char*>(data), n); }
  void OnPortCommand(uint8_t command, const uint8_t*, size_t) override { Commands.push_back(command); }

  // Sends up to n bytes until the connection takes nothing for stallMs;
  // the count sent.
  size_t Flood(size_t n, int stallMs) {
    const std::string chunk(65536, 'x');
    size_t sent = 0;
    while (sent < n) {
      pollfd p{FFd, POLLOUT, 0};
      if (poll(&p, 1, stallMs) <= 0) break;
      const ssize_t w = send(FFd, chunk.data(), std::min(chunk.size(), n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0) sent += static_cast<size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    return sent;
  }

  bool Connected = false;
  std::string Data;
  std::vector<uint8_t> Commands;

 private:
  int FFd = -1;
  TTelnet FTelnet{trClient};
};

TEST(BenchProgram, BrokenSubnegotiationsDoNotStickTheServer) {
  TBench bench({"--echo"});
  ASSERT_EQ(bench.Ports.size(), 1u);
  TRawClient client(bench.Url());
  ASSERT_TRUE(client.Connected);
  const std::string sb = {'\xFF', '\xFA', 44}, se = {'\xFF', '\xF0'};
  // A baud rate cut to two bytes, an empty subnegotiation, a missing SE,
  // each followed by data that must come back.
  client.Send(sb + std::string("\x01\x00\x00", 3) + se + "one");
  ASSERT_TRUE(client.WaitData("one"));
  client.Send(std::string("\xFF\xFA\xFF\xF0", 4) + "two");
  ASSERT_TRUE(client.WaitData("two"));
  client.Send(sb + "\x05\x08" + sb + "\x05\x09" + se + "three");
  ASSERT_TRUE(client.WaitData("three"));
  // And a well-formed command is still answered.
  client.Send(sb + std::string("\x02\x00", 2) + se);
  client.Send("four");
  ASSERT_TRUE(client.WaitData("four"));
  EXPECT_EQ(client.Data, "onetwothreefour");
  EXPECT_NE(std::find(client.Commands.begin(), client.Commands.end(), cpSetDataSize + kServerCode),
            client.Commands.end());
}

// ---- a port recovers from any client and bounds what it queues ----------

// The next client gets answers at the port's own settings, without asking
// for them or purging, after one that set 1 baud, sent ten bytes and left.
TEST(BenchProgram, PortRecoversFromAClientThatLeftItBusy) {
  TBench bench(std::vector<std::string>{});
  ASSERT_EQ(bench.Ports.size(), 2u);
  {
    TRawClient bad(bench.Url(0));
    ASSERT_TRUE(bad.Connected);
    std::string wire;
    AppendPortCommand32(wire, cpSetBaudRate, 1);
    bad.Send(wire + std::string(10, '\x80'));
    ASSERT_TRUE(bad.WaitCommand(cpSetBaudRate + kServerCode));
  }
  TRawClient next(bench.Url(0));
  ASSERT_TRUE(next.Connected);
  next.Send("\x80");
  EXPECT_TRUE(next.WaitData("\x12")) << "the dongle's answer to its probe";
}

// Closing a port and opening it again at once: the old connection's end
// and the new one reach the bench together.
TEST(BenchProgram, ClientThatReconnectsAtOnceIsServed) {
  TBench bench({"--echo"});
  ASSERT_EQ(bench.Ports.size(), 1u);
  constexpr int kRounds = 50;
  int served = 0;
  auto client = std::make_unique<TRawClient>(bench.Url());
  ASSERT_TRUE(client->Connected);
  for (int i = 0; i < kRounds; ++i) {
    client->Send("a");
    if (client->WaitData("a")) ++served;
    client.reset();
    client = std::make_unique<TRawClient>(bench.Url());
  }
  EXPECT_EQ(served, kRounds);
}

struct TFloodCase {
  const char* Name;
  std::vector<std::string> Args;
};

void PrintTo(const TFloodCase& c, std::ostream* os) {
  *os << c.Name;
}

class BenchFlood : public ::testing::TestWithParam<TFloodCase> {};

// A port takes a client's bytes as fast as its line carries them and as
// the client reads the answers, like a serial port behind its buffers: a
// client that floods it is held up by the connection (beyond what the
// sockets buffer themselves), and the port serves the next one at once.
TEST_P(BenchFlood, ClientIsHeldUpInsteadOfQueuedWithoutBound) {
  TBench bench(GetParam().Args);
  ASSERT_FALSE(bench.Ports.empty());
  constexpr size_t kFlood = 64u << 20;
  {
    TRawClient flood(bench.Url());
    ASSERT_TRUE(flood.Connected);
    EXPECT_LT(flood.Flood(kFlood, 300), kFlood / 2);
  }
  TRawClient next(bench.Url());
  ASSERT_TRUE(next.Connected);
  std::string wire;
  AppendPortCommand(wire, cpSetDataSize, 8);
  next.Send(wire);
  EXPECT_TRUE(next.WaitCommand(cpSetDataSize + kServerCode));
}

INSTANTIATE_TEST_SUITE_P(SetUps, BenchFlood,
                         ::testing::Values(TFloodCase{"PacedDongleLine", {}},
                                           TFloodCase{"EchoRepliesNeverRead", {"--echo"}}),
                         [](const ::testing::TestParamInfo<TFloodCase>& tpi) { return std::string(tpi.param.Name); });

}  // namespace
}  // namespace qv
