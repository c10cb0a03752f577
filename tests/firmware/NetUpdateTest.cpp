// The whole handheld update in real time over network ports against
// qvbench: the RF modem image programmed and installed, the handheld
// firmware programmed, the unit handed over. qvbench's report of what its
// handheld holds decides.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/Firmware.h"
#include "procedure/SerThread.h"
#include "tests/firmware/FileFixture.h"
#include "tests/rfc2217/NetSupport.h"
#include "tests/support/TestWindow.h"

namespace qv {
namespace {

std::string Hex64(uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016" PRIx64, v);
  return buf;
}

TEST(NetUpdate, HandheldUpdateOverTheNetworkPorts) {
  test::TTempDir dir;
  const bench::TFirmwareSet set;
  std::vector<bench::THandheldImage> modem, firmware;
  for (uint8_t hw : set.Hws) {
    modem.push_back(bench::MakeModemImage(hw, set.ModemVersion));
    firmware.push_back(bench::MakeHandheldFirmware(hw, set.HandheldVersion));
  }
  test::WriteFile(dir / "qvftune.qpf", bench::WriteQpf({bench::MakeHandheldTestFirmware(0x21)}));
  test::WriteFile(dir / "srvftune.sff", bench::WriteSff(bench::MakeServerTestFirmware(set.ServerTestIdentity)));
  test::WriteFile(dir / "qvmodem.qpf", bench::WriteQpf(modem));
  test::WriteFile(dir / "qvhandheld.qpf", bench::WriteQpf(firmware));
  const std::string report = (dir / "report").string();

  test::TBench bench({"--units", "1", "--report", report});
  ASSERT_TRUE(bench.Child.Started());
  ASSERT_EQ(bench.Ports.size(), 2u);
  TComPort dongleSide(nullptr);
  TComPort serverSide(nullptr);
  serverSide.Tag = 1;
  test::TTestWindow window;
  window.Ports = {&dongleSide, &serverSide};
  window.ProgramDir = dir.Path().string() + "/";
  const std::vector<std::string> items = {"Auto detect", bench.Url(0), bench.Url(1)};
  window.Combos[ciCOM1] = {items, 1, bench.Url(0)};
  window.Combos[ciCOM2] = {items, 2, bench.Url(1)};
  window.Combos[ciFile1].Text = (dir / "qvmodem.qpf").string();
  window.Combos[ciFile2].Text = (dir / "qvhandheld.qpf").string();
  {
    TSerThread worker(true, window);
    worker.ReadFirmwareFiles();
    worker.DetectPorts();
    worker.InitDevice(*window.Ports.SerIF2, false);
    worker.InitDevice(*window.Ports.SerIF1, true);
    worker.DecodeFirmware();
    ASSERT_EQ(worker.Outcome, ocNone) << worker.LogText;
    worker.UpdateHandheldFirmware();
    EXPECT_EQ(worker.Outcome, ocNone) << worker.LogText;
    worker.ClosePorts();
  }
  bench.Child.CloseInput();
  ASSERT_EQ(bench.Child.Wait(10000), 0);

  std::vector<uint8_t> eeprom(8192, 0xFF);
  std::copy(firmware[0].begin(), firmware[0].end(), eeprom.begin());
  std::ifstream in(report);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "handheld 1 eeprom=" + Hex64(bench::Digest(eeprom.data(), eeprom.size())) +
                      " modem=" + Hex64(bench::Digest(modem[0].data(), modem[0].size())) +
                      " released=1 pctool=0 crystal=-59 jobs=1");
}

}  // namespace
}  // namespace qv
