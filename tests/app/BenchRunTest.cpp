// The window against the network bench, as an operator on the floor sees
// it: qvbench serves the dongle and the server as network serial ports and
// lists them in the port map, the port combos offer them, and Start, Ok
// finds and initialises both devices over loopback sockets.
#include "tests/app/AppTest.h"
#include "tests/rfc2217/NetSupport.h"

namespace qv::test {
namespace {

class BenchRunTest : public AppTest {};

TEST_F(BenchRunTest, StartAndOkFindAndInitialiseTheBenchDevices) {
  TBench bench({"--ports-file", PortMapPath});
  ASSERT_TRUE(bench.Child.Started());
  ASSERT_EQ(bench.Ports.size(), 2u);
  const QString dongle = QString::fromStdString(bench.Ports[0].first);
  const QString server = QString::fromStdString(bench.Ports[1].first);
  // Real detection and initialisation; every other step a stand-in.
  Steps = [](TSerThread& t) {
    t.Steps.DetectPorts = nullptr;
    t.Steps.InitDevice = nullptr;
  };
  TMain& w = Open();
  EXPECT_EQ(Items(w.COM1Combo), (QStringList{"Auto detect", dongle, server}));
  EXPECT_EQ(Items(w.COM2Combo), (QStringList{"Auto detect", dongle, server}));

  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.StartBut);
  ASSERT_TRUE(WaitFor([&] {
    return Shows(w.StatTxt) && w.StatTxt->text() == QLatin1String("Disconnect the Quorvantis...");
  })) << w.LogMemo->toPlainText().toStdString();
  EXPECT_EQ(LogLines(w), (QStringList{"ReadFirmwareFiles", "Dongle found on " + dongle + ", #QV0DONGLE0000001, HW1.2",
                                      "Server found on " + server + ", #RFQVSERVER000123, HW2.0",
                                      "Quorvantis HW2.1"}));
  EXPECT_EQ(w.LastDonglePort, bench.Ports[0].first);
  EXPECT_EQ(w.LastServerPort, bench.Ports[1].first);

  // The bench's handheld stays connected: the operator cancels the wait.
  Click(w.ExitBut);
  ASSERT_TRUE(AwaitFinished());
  EXPECT_EQ(LogLines(w).mid(4), (QStringList{"Aborted by user!", "Error log file written"}));
  const std::string log = ReadFile(Dir + "/qvtune.ERR");
  EXPECT_EQ(log.substr(0, 23), ">ReadFirmwareFiles\r1R\r1") << "the byte trace of the first probe";
  EXPECT_NE(log.find("\r2<65\r2>1\r2<0\r2>3\r2<132\r2>66\r"), std::string::npos) << "the server version query";
  EXPECT_FALSE(w.SerIF1.Active());
  EXPECT_FALSE(w.SerIF2.Active());
}

}  // namespace
}  // namespace qv::test
