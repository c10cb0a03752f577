// Against an implementation of the option that none of us wrote: pyserial's
// client talking to qvbench, and our client talking to pyserial's server
// side over its loop:// port (written bytes come back, DTR shows as DSR and
// RTS as CTS). Skipped where no python3 with pyserial is installed.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Eventually.h"
#include "serial/ComPort.h"
#include "serial/rfc2217/Rfc2217Device.h"
#include "tests/rfc2217/NetSupport.h"
#include "tests/serial/DeviceSuite.h"

namespace qv {
namespace {

using test::TBench;
using test::TChild;
using TSteady = std::chrono::steady_clock;

#define REQUIRE_PYSERIAL()                             \
  const std::string python = test::PythonWithSerial(); \
  if (python.empty()) GTEST_SKIP() << "no python3 with the serial module (pyserial) installed"

TEST(PeerPyserialClient, WorksAgainstQvbench) {
  REQUIRE_PYSERIAL();
  TBench bench({"--echo"});
  ASSERT_EQ(bench.Ports.size(), 1u);
  TChild client({python, test::PeersDir() + "/pyserial_client.py", bench.Url()});
  std::vector<std::string> lines;
  while (auto line = client.ReadLine(15000)) lines.push_back(*line);
  EXPECT_EQ(client.Wait(5000), 0);
  const std::vector<std::string> expected = {
      "echo same",           "dtr False dsr False",      "dtr True dsr True",
      "rts False cts False", "rts True cts True",        "settings 19200 7 E 2",
      "purged 0 b''",        "after b'\\xffafter\\xff'", "closed",
  };
  EXPECT_EQ(lines, expected);
}

// pyserial's server over loop://, started for one test.
class PeerPyserialServer : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string python = test::PythonWithSerial();
    if (python.empty()) GTEST_SKIP() << "no python3 with the serial module (pyserial) installed";
    FServer.emplace(std::vector<std::string>{python, test::PeersDir() + "/pyserial_server.py"});
    const std::optional<std::string> ready = FServer->ReadLine(15000);
    ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << "the peer did not start";
    FUrl = "rfc2217://127.0.0.1:" + ready->substr(6);
  }

  void Program(TComPort& port) { test::ProgramSettings(port, FUrl); }

  std::optional<TChild> FServer;
  std::string FUrl;
};

// The looped lines alone: loop:// also shows carrier, always on.
TModemStatus Looped(TComPort& port) {
  TModemStatus s = port.ModemStatus();
  return TModemStatus::FromBits(s.Bits & TModemStatus{msCTS, msDSR}.Bits);
}

TEST_F(PeerPyserialServer, LinesFollowDtrAndRts) {
  TComPort port(nullptr);
  Program(port);
  port.Open();
  EXPECT_TRUE(test::Eventually([&] { return Looped(port) == TModemStatus{msCTS}; }));
  EXPECT_TRUE(port.ModemStatus().Contains(msRLSD));
  port.FlowControl().SetDTR(dcEnable);
  EXPECT_TRUE(test::Eventually([&] { return Looped(port) == (TModemStatus{msCTS, msDSR}); }));
  port.FlowControl().SetRTS(rcDisable);
  EXPECT_TRUE(test::Eventually([&] { return Looped(port) == TModemStatus{msDSR}; }));
}

TEST_F(PeerPyserialServer, EveryByteValueComesBack) {
  TComPort port(nullptr);
  Program(port);
  port.Timeouts().SetReadConstant(3000);
  port.Open();
  std::string all;
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  port.Write(all.data(), static_cast<int32_t>(all.size()), true);
  std::string back(all.size(), '\0');
  port.Read(back.data(), static_cast<int32_t>(back.size()), true);
  EXPECT_EQ(back, all);
  for (int b : {0x00, 0xFF, 0x0D}) {
    port.WriteByte(static_cast<uint8_t>(b));
    EXPECT_EQ(port.ReadByte(), b);
  }
}

TEST_F(PeerPyserialServer, SettingsAreConfirmed) {
  std::unique_ptr<TComDevice> dev;
  ASSERT_TRUE(TRfc2217Device::Open(FUrl, RealClock(), dev).Ok());
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.BaudRate = 19200;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 2;
  const TDevStatus st = dev->SetState(dcb);
  ASSERT_TRUE(st.Ok()) << st.Code << " " << st.Text;
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back.BaudRate, 19200u);
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, 2);
  EXPECT_EQ(back.StopBits, 2);
}

TEST_F(PeerPyserialServer, PurgeInputDropsWhatCame) {
  TComPort port(nullptr);
  Program(port);
  port.Open();
  port.Write("abc", 3, true);
  EXPECT_TRUE(test::Eventually([&] { return port.InputCount() == 3; }));
  port.PurgeInput();
  EXPECT_EQ(port.InputCount(), 0u);
  EXPECT_THROW(port.ReadByte(), EComError);
  port.PurgeOutput();
  port.WriteByte('q');
  EXPECT_EQ(port.ReadByte(), 'q');
}

}  // namespace
}  // namespace qv
