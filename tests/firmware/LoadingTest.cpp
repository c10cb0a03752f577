// The worker loading its five firmware inputs from files, from the payload
// of the window and from a program file packed by qvpack, and decoding them
// for the connected handheld: which inputs are read and decoded, the
// histories, and every error line exactly. The worker is created suspended
// and driven from the test thread, which is its window's thread.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/Firmware.h"
#include "firmware/Payload.h"
#include "procedure/SerThread.h"
#include "tests/firmware/FileFixture.h"
#include "tests/support/TestWindow.h"

namespace qv {
namespace {

using test::TTempDir;
using test::TTestWindow;
using test::WriteFile;

const bench::TFirmwareSet kSet;

// The standard set for hardware 0x21, with the handheld packages holding
// images for 0x21 and 0x22 only.
struct TFiles {
  std::string Modem = bench::WriteQpf({bench::MakeModemImage(0x21, 0x13), bench::MakeModemImage(0x22, 0x13)});
  std::string Handheld = bench::WriteQpf({bench::MakeHandheldFirmware(0x21, "V2.4"), bench::MakeHandheldFirmware(0x22, "V2.4")});
  std::string Server = bench::WriteHex(bench::MakeServerFirmware(0x25, 0x03));
  std::string HandheldTest = bench::WriteRawBin(bench::MakeHandheldTestFirmware(0x21));
  std::string ServerTest = bench::WriteSff(bench::MakeServerTestFirmware(0x5A));
};

class LoadingTest : public ::testing::Test {
 protected:
  LoadingTest() {
    Window.ProgramDir = Dir.Path().string() + "/";
    Write("qvftune.qpf", Files.HandheldTest);
    Write("srvftune.sff", Files.ServerTest);
    Choose(ciFile1, "modem.qpf", Files.Modem);
    Choose(ciFile2, "handheld.qpf", Files.Handheld);
    Choose(ciFile3, "server.hex", Files.Server);
  }

  std::string Path(const std::string& name) const { return (Dir / name).string(); }
  void Write(const std::string& name, const std::string& bytes) { WriteFile(Dir / name, bytes); }
  void Choose(TComboId id, const std::string& name, const std::string& bytes) {
    Write(name, bytes);
    Window.Combos[id].Text = Path(name);
  }
  TSerThread& Worker() {
    if (!FWorker) {
      FWorker = std::make_unique<TSerThread>(true, Window);
      FWorker->HandheldHw = 0x21;
    }
    return *FWorker;
  }
  std::vector<std::string> Histories() const {
    std::vector<std::string> h;
    for (const std::string& e : Window.Journal())
      if (e.rfind("AddToHistory", 0) == 0) h.push_back(e);
    return h;
  }
  uint32_t Count(size_t input) {
    const uint8_t* b = Worker().FirmwareBuf[input];
    return b == nullptr ? 0 : static_cast<uint32_t>(b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24);
  }
  void ReadAndDecode() {
    Worker().ReadFirmwareFiles();
    Worker().DecodeFirmware();
  }

  TTempDir Dir;
  TFiles Files;
  TTestWindow Window;
  std::unique_ptr<TSerThread> FWorker;
};

TEST_F(LoadingTest, AllInputsReadAndDecodedWithTheirVersions) {
  Window.RestoreServer = true;
  ReadAndDecode();
  TSerThread& w = Worker();
  EXPECT_EQ(w.Outcome, ocNone) << w.LogText;
  EXPECT_EQ(w.LogText, "");
  EXPECT_EQ(Count(1), Files.Modem.size() + 4);
  EXPECT_EQ(Count(2), Files.Handheld.size() + 4);
  EXPECT_EQ(Count(3), Files.Server.size() + 4);
  EXPECT_EQ(Count(4), Files.HandheldTest.size() + 4);
  EXPECT_EQ(Count(5), Files.ServerTest.size() + 4);
  EXPECT_EQ(Histories(), (std::vector<std::string>{"AddToHistory 2", "AddToHistory 3", "AddToHistory 4"}));
  EXPECT_EQ(w.HandheldImageLen[1], bench::kModemLength);
  EXPECT_EQ(w.HandheldImageLen[2], bench::kHandheldLength);
  EXPECT_EQ(w.HandheldImageLen[3], bench::kHandheldTestLength);
  EXPECT_EQ(w.ServerImage[2].At(0x103), 0x345A);
  EXPECT_EQ(w.ModemFwVersion, " to V1.3");
  EXPECT_EQ(w.HandheldFwVersion, " to V2.4");
  EXPECT_EQ(w.ServerFwVersion, " to V2.1.3a");
}

// Which inputs a run reads and decodes follows from the golden reference and
// the restore box.
struct TChoiceCase {
  const char* Name;
  bool GoldenIsHandheld, RestoreServer;
  bool Reads[5];
  std::vector<std::string> Histories;
  const char* ServerFwVersion;
  bool ModemDecoded;
};

void PrintTo(const TChoiceCase& c, std::ostream* os) { *os << c.Name; }

class LoadingChoices : public LoadingTest, public ::testing::WithParamInterface<TChoiceCase> {};

TEST_P(LoadingChoices, ReadAndDecodeOnlyWhatTheRunNeeds) {
  const TChoiceCase& c = GetParam();
  Window.GoldenIsHandheld = c.GoldenIsHandheld;
  Window.RestoreServer = c.RestoreServer;
  ReadAndDecode();
  TSerThread& w = Worker();
  ASSERT_EQ(w.Outcome, ocNone) << w.LogText;
  for (size_t i = 1; i <= 5; ++i) EXPECT_EQ(w.FirmwareBuf[i] != nullptr, c.Reads[i - 1]) << "input " << i;
  EXPECT_EQ(Histories(), c.Histories);
  EXPECT_EQ(w.ServerFwVersion, c.ServerFwVersion);
  EXPECT_EQ(w.HandheldImageLen[1] != 0, c.ModemDecoded);
  EXPECT_EQ(w.HandheldImageLen[3], bench::kHandheldTestLength) << "the test firmware always";
}

INSTANTIATE_TEST_SUITE_P(
    Choices, LoadingChoices,
    ::testing::Values(TChoiceCase{"HandheldTuned",
                                  false,
                                  false,
                                  {true, true, false, true, true},
                                  {"AddToHistory 2", "AddToHistory 3"},
                                  "",
                                  true},
                      TChoiceCase{"HandheldTunedWithRestore",
                                  false,
                                  true,
                                  {true, true, true, true, true},
                                  {"AddToHistory 2", "AddToHistory 3", "AddToHistory 4"},
                                  " to V2.1.3a",
                                  true},
                      TChoiceCase{"ServerTuned",
                                  true,
                                  false,
                                  {false, false, true, true, true},
                                  {"AddToHistory 4"},
                                  " to V2.1.3a",
                                  false}),
    [](const ::testing::TestParamInfo<TChoiceCase>& p) { return std::string(p.param.Name); });

TEST_F(LoadingTest, BothDefaultTestFilesMissingGiveOneLineWithFullPaths) {
  std::filesystem::remove(Dir / "qvftune.qpf");
  std::filesystem::remove(Dir / "srvftune.sff");
  Window.Combos[ciFile2].Text = Path("nowhere.qpf");
  ReadAndDecode();
  TSerThread& w = Worker();
  const std::string line = "Error reading file(s):\r\n Quorvantis test firmware \"" + Path("qvftune.qpf") +
                           "\"\r\n Server test firmware \"" + Path("srvftune.sff") + "\"\r\n Quorvantis firmware \"" +
                           Path("nowhere.qpf") + "\"";
  EXPECT_EQ(w.LogText, ">" + line + "\r") << "nothing decoded after it";
  EXPECT_EQ(Window.Screen().LogMemo, std::vector<std::string>{line});
  EXPECT_EQ(w.Outcome, ocFailed);
  EXPECT_EQ(Histories(), std::vector<std::string>{"AddToHistory 2"}) << "only the file that was read";
  EXPECT_EQ(w.FirmwareBuf[2], nullptr);
  EXPECT_NE(w.FirmwareBuf[1], nullptr) << "inputs that read correctly stay in place";
}

TEST_F(LoadingTest, WhatIsNotARegularFileIsNotRead) {
  // A FIFO would block the window's thread in its open; a folder reads as
  // nothing at all.
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(Dir / "folder");
  Window.Combos[ciFile1].Text = Path("fifo");
  Window.Combos[ciFile2].Text = Path("folder");
  Worker().ReadFirmwareFiles();
  EXPECT_EQ(Worker().LogText, ">Error reading file(s):\r\n RF modem firmware \"" + Path("fifo") +
                                  "\"\r\n Quorvantis firmware \"" + Path("folder") + "\"\r");
}

TEST_F(LoadingTest, DecodingErrorsNameEveryFailedInputByLabel) {
  Window.RestoreServer = true;
  Write("qvftune.qpf", "");  // an empty file reads, as a count of 4
  Choose(ciFile2, "handheld.qpf", bench::WriteQpf({bench::MakeHandheldFirmware(0x23, "V2.4")}));
  Choose(ciFile3, "server.hex", Files.Server.substr(0, Files.Server.size() / 2) + "garbage\r\n");
  Worker().ReadFirmwareFiles();
  ASSERT_EQ(Worker().Outcome, ocNone);
  EXPECT_EQ(Count(4), 4u);
  Worker().DecodeFirmware();
  const std::string line =
      "Error decoding file(s):\r\n Quorvantis test firmware\r\n Quorvantis firmware (hardware not supported)\r\n "
      "Server firmware";
  EXPECT_EQ(Worker().LogText, ">" + line + "\r");
  EXPECT_EQ(Worker().Outcome, ocFailed);
  EXPECT_EQ(Worker().ServerImage[1].At(0x100), TServerImage::Blank)
      << "a failed server decode leaves nothing that a restore could program";
}

TEST_F(LoadingTest, HandheldInputsFallBackToRawBinariesButNotAfterNoImage) {
  Choose(ciFile1, "modem.bin", bench::WriteRawBin(bench::MakeModemImage(0x21, 0x13)));
  Choose(ciFile2, "handheld.bin", bench::WriteRawBin(bench::MakeHandheldFirmware(0x22, "V2.4")));
  ReadAndDecode();
  EXPECT_EQ(Worker().LogText,
            ">Error decoding file(s):\r\n Quorvantis firmware (hardware not supported)\r");
  EXPECT_EQ(Worker().HandheldImageLen[1], bench::kModemLength);
}

TEST_F(LoadingTest, ClosingRestoreDecodesTheServerFirmwareOnly) {
  Window.RestoreServer = true;
  Worker().ReadFirmwareFiles();
  Worker().Finishing = true;
  Worker().Terminate();
  Worker().DecodeFirmware();
  EXPECT_EQ(Worker().ServerFwVersion, " to V2.1.3a") << "decodes after a termination request while finishing";
  EXPECT_EQ(Worker().HandheldImageLen[3], 0) << "no handheld slot touched";
  EXPECT_EQ(Worker().ServerImage[2].At(0x100), 0);
  EXPECT_EQ(Worker().ModemFwVersion, "");
}

TEST_F(LoadingTest, TerminationStopsDecodingWithoutAMessage) {
  Worker().ReadFirmwareFiles();
  Worker().Terminate();
  Worker().DecodeFirmware();
  EXPECT_EQ(Worker().LogText, "");
  EXPECT_EQ(Worker().Outcome, ocNone) << "the driver reports the abort";
  EXPECT_EQ(Worker().HandheldImageLen[3], 0);
}

TEST_F(LoadingTest, RetryReadsEveryFileAgainAndReleasesTheFirstBuffers) {
  std::filesystem::remove(Dir / "srvftune.sff");
  Worker().ReadFirmwareFiles();
  ASSERT_EQ(Worker().Outcome, ocFailed);
  Write("srvftune.sff", Files.ServerTest);
  Worker().Outcome = ocNone;
  Worker().ReadFirmwareFiles();  // LeakSanitizer reports buffers not released
  EXPECT_EQ(Worker().Outcome, ocNone);
  EXPECT_EQ(Count(5), Files.ServerTest.size() + 4) << "the corrected file is picked up";
}

// ---- the payload ----

std::string PayloadOf(const TFiles& f, uint8_t flags = 0) {
  std::string payload, error;
  EXPECT_TRUE(BuildPayload("qvtune", {f.Modem, f.Handheld, bench::WriteSff(bench::MakeServerFirmware(0x25, 0x03)),
                                      f.HandheldTest, f.ServerTest},
                           flags, payload, error))
      << error;
  return payload;
}

void Hold(TTestWindow& window, const std::string& payload) {
  window.PayloadSize = static_cast<int32_t>(payload.size());
  window.Payload = std::make_unique<uint8_t[]>(payload.size());
  std::copy(payload.begin(), payload.end(), window.Payload.get());
}

TEST_F(LoadingTest, PayloadBlocksReplaceEveryFileAndStayTheWindows) {
  std::filesystem::remove_all(Dir.Path());  // no file at all, combos ignored
  Hold(Window, PayloadOf(Files));
  Window.RestoreServer = true;
  ReadAndDecode();
  TSerThread& w = Worker();
  EXPECT_EQ(w.LogText, "");
  EXPECT_EQ(Histories(), std::vector<std::string>{});
  const uint8_t* p = Window.Payload.get();
  const size_t caption = 4 + 6;
  EXPECT_EQ(w.FirmwareBuf[1], p + caption);
  EXPECT_EQ(w.FirmwareBuf[2], p + caption + 4 + Files.Modem.size());
  EXPECT_EQ(w.ServerFwVersion, " to V2.1.3a");
  w.FinalRestore();  // AddressSanitizer reports a release of the window's bytes
  EXPECT_EQ(w.FirmwareBuf[1], p + caption);
}

TEST_F(LoadingTest, DamagedPayloadBlocksFailAsUnusableInputs) {
  const std::string good = PayloadOf(Files);
  const size_t block3 = 4 + 6 + 4 + Files.Modem.size() + 4 + Files.Handheld.size();
  struct TCase {
    const char* Name;
    size_t At;
    uint32_t Count;
    std::string Entries;
  };
  const std::string from3 =
      "\r\n Server firmware (damaged payload block)\r\n Quorvantis test firmware (damaged payload block)\r\n Server "
      "test firmware (damaged payload block)";
  for (const TCase& c : {TCase{"CountBelowFour", block3, 3, from3}, TCase{"CountZero", block3, 0, from3},
                         TCase{"PastTheEnd", block3, 0x7FFFFFF0, from3},
                         TCase{"IntoTheFlagsByte", good.size() - 1 - 4 - Files.ServerTest.size(),
                               static_cast<uint32_t>(4 + Files.ServerTest.size() + 1),
                               "\r\n Server test firmware (damaged payload block)"},
                         TCase{"CaptionPastTheEnd", 0, 0xFFFFFFFF,
                               "\r\n RF modem firmware (damaged payload block)\r\n Quorvantis firmware (damaged "
                               "payload block)" + from3}}) {
    SCOPED_TRACE(c.Name);
    std::string payload = good;
    for (int i = 0; i < 4; ++i) payload[c.At + static_cast<size_t>(i)] = static_cast<char>(c.Count >> (8 * i));
    TTestWindow window;
    Hold(window, payload);
    TSerThread worker(true, window);
    worker.ReadFirmwareFiles();
    EXPECT_EQ(worker.LogText, ">Error reading file(s):" + c.Entries + "\r");
    EXPECT_EQ(worker.Outcome, ocFailed);
  }
}

#ifdef QVPACK_PATH
TEST_F(LoadingTest, ProgramFilePackedByQvpackCarriesEveryInput) {
  Write("qvmodem.qpf", Files.Modem);
  Write("qvhandheld.qpf", Files.Handheld);
  Write("qvserver.sff", bench::WriteSff(bench::MakeServerFirmware(0x25, 0x03)));
  std::filesystem::copy_file(QVPACK_PATH, Dir / "plain");
  const std::string command = std::string(QVPACK_PATH) + " --program " + Path("plain") + " --out " + Path("packed") +
                              " --caption 'qvtune with firmware' --input1 " + Path("qvmodem.qpf") + " --input2 " +
                              Path("qvhandheld.qpf") + " --input3 " + Path("qvserver.sff") + " --input4 " +
                              Path("qvftune.qpf") + " --input5 " + Path("srvftune.sff") + " --golden-handheld";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  TPayload payload;
  ASSERT_EQ(ReadProgramPayload(Path("packed"), payload), prFound);
  Window.Payload = std::move(payload.Data);
  Window.PayloadSize = payload.Size;
  Window.GoldenIsHandheld = PayloadFlags(Window.Payload.get(), Window.PayloadSize) & pfGoldenIsHandheld;
  ASSERT_TRUE(Window.GoldenIsHandheld);
  std::filesystem::remove(Dir / "qvftune.qpf");
  ReadAndDecode();
  EXPECT_EQ(Worker().LogText, "");
  EXPECT_EQ(Worker().ServerFwVersion, " to V2.1.3a");
  EXPECT_EQ(Worker().ServerImage[2].At(0x103), 0x345A);
}
#endif

}  // namespace
}  // namespace qv
