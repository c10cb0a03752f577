// Payload mode: program files packed by qvpack, Windows and ELF kinds, and
// program files the window cannot use.
#include <spawn.h>
#include <sys/wait.h>

#include "firmware/Payload.h"
#include "tests/app/AppTest.h"

namespace qv::test {
namespace {

const std::string kPackedCaption = "Quorvantis Pro fine-tuning V9.9 with firmware V1.2.3";
const std::string kInputs[5] = {"modem firmware", "handheld firmware bytes", "server firmware", "test fw",
                                "server test firmware"};

struct TPackCase {
  const char* Name;
  bool Elf;
  QStringList Options;
  bool Golden;      // bit 1
  bool AnaChecked;  // bit 2
  bool AnaShown;    // bit 3
  bool Compact;     // neither bit 1 nor bit 3
};

void PrintTo(const TPackCase& c, std::ostream* os) {
  *os << c.Name;
}

class PayloadModeTest : public AppTest, public ::testing::WithParamInterface<TPackCase> {
 protected:
  // Packs a plain program file of the case's kind; the window then runs on
  // the packed file.
  void Pack() {
    const TPackCase& c = GetParam();
    const std::string plain = Dir + (c.Elf ? "/plain" : "/plain.exe");
    if (c.Elf)
      fs::copy_file(QV_QVTUNE_PATH, plain);
    else
      WriteFile(plain, MinimalPe());
    Program = Dir + (c.Elf ? "/packed" : "/packed.exe");
    std::vector<std::string> args = {QV_QVPACK_PATH, "--program", plain, "--out", Program, "--caption", kPackedCaption};
    for (int i = 0; i < 5; ++i) {
      const std::string input = Dir + "/input" + std::to_string(i + 1);
      WriteFile(input, kInputs[i]);
      args.push_back("--input" + std::to_string(i + 1));
      args.push_back(input);
    }
    for (const QString& option : c.Options) args.push_back(option.toStdString());
    ASSERT_EQ(Run(args), 0) << "qvpack failed";
  }

  // Runs a program to its end; its exit status, or -1. Spawned rather than
  // forked, so that nothing of this process runs in the child.
  static int Run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  // Runs to the end, answering No to the next-unit question.
  void RunOnce() {
    TMain& w = *Window;
    Click(w.StartBut);
    ASSERT_TRUE(AwaitOkPrompt());
    Click(w.StartBut);
    for (;;) {
      ASSERT_TRUE(WaitFor(
          [&] { return w.Worker == nullptr || (Shows(w.StartBut) && w.StartBut->text() == QLatin1String("&Yes")); }));
      if (w.Worker == nullptr) break;
      Click(w.ExitBut);
    }
    ASSERT_TRUE(AwaitFinished());
  }
};

TEST_P(PayloadModeTest, WindowFollowsThePayload) {
  ASSERT_NO_FATAL_FAILURE(Pack());
  const TPackCase& c = GetParam();
  TMain& w = Open();
  ASSERT_TRUE(w.isVisible());
  ASSERT_FALSE(w.FirstActivation);
  EXPECT_EQ(w.IniPath, Dir + "/packed.INI");

  // The payload as packed: caption block, five blocks, flags.
  ASSERT_NE(w.Payload, nullptr);
  int32_t size = 4 + static_cast<int32_t>(kPackedCaption.size()) + 1;
  for (const std::string& input : kInputs) size += 4 + static_cast<int32_t>(input.size());
  ASSERT_EQ(w.PayloadSize, size);
  const std::string payload(reinterpret_cast<const char*>(w.Payload.get()), static_cast<size_t>(w.PayloadSize));
  const size_t block1 = 4 + kPackedCaption.size();
  EXPECT_EQ(payload.substr(block1 + 4, kInputs[0].size()), kInputs[0]);
  const uint8_t flags = static_cast<uint8_t>(payload.back());
  EXPECT_EQ((flags & pfGoldenIsHandheld) != 0, c.Golden);
  EXPECT_EQ((flags & pfAnalysisChecked) != 0, c.AnaChecked);
  EXPECT_EQ((flags & pfAnalysisShown) != 0, c.AnaShown);

  EXPECT_EQ(w.windowTitle(), QString::fromStdString(kPackedCaption));
  EXPECT_EQ(w.GoldenIsHandheld, c.Golden);
  EXPECT_EQ(w.QVradio->isChecked(), c.Golden);
  EXPECT_EQ(w.SRVradio->isChecked(), !c.Golden);
  for (QWidget* r : TControls{w.GoldTxt, w.QVradio, w.SRVradio}) EXPECT_EQ(Shows(r), c.Golden);
  EXPECT_EQ(Shows(w.AnaChk), c.AnaShown);
  EXPECT_EQ(w.AnaChk->isChecked(), c.AnaChecked);
  EXPECT_EQ(w.AnaChkChecked(), c.AnaChecked);
  EXPECT_TRUE(w.RestoreServer);
  for (QWidget* f : TControls{w.Browse1But, w.Browse2But, w.Browse3But, w.File1Combo, w.File2Combo, w.File3Combo,
                              w.File1Txt, w.File2Txt, w.File3Txt, w.SrvChk})
    EXPECT_FALSE(Shows(f)) << f->objectName().toStdString();
  for (QWidget* s : TControls{w.QVGroup, w.SrvGroup, w.COM1Combo, w.COM2Combo, w.StartBut, w.ExitBut})
    EXPECT_TRUE(Shows(s)) << s->objectName().toStdString();
  EXPECT_EQ(w.QVGroup->geometry(), QRect(8, c.Compact ? 20 : 44, 337, 137));
  EXPECT_EQ(w.SrvGroup->geometry(), QRect(8, c.Compact ? 172 : 184, 337, 137));
  if (c.Compact && !c.Elf) Screenshot(&w, "payload-compact");

  // The moved groups keep their new place when the window grows.
  w.resize(454, 470);
  ASSERT_TRUE(WaitFor([&] { return w.width() == 454; }));
  EXPECT_EQ(w.QVGroup->geometry(), QRect(8, c.Compact ? 20 : 44, 437, 137));

  // Back in the start view the choices stay hidden, whatever the flags said.
  ASSERT_NO_FATAL_FAILURE(RunOnce());
  Click(w.StartBut);
  EXPECT_TRUE(Shows(w.QVGroup));
  for (QWidget* r : TControls{w.GoldTxt, w.QVradio, w.SRVradio, w.AnaChk}) EXPECT_FALSE(Shows(r));
  EXPECT_NE(w.Payload, nullptr);

  // Closing releases the payload once the worker is gone; the settings
  // record the forced restore.
  w.close();
  EXPECT_EQ(w.Payload, nullptr);
  EXPECT_EQ(w.PayloadSize, 0);
  const std::string ini = ReadFile(Dir + "/packed.INI");
  EXPECT_NE(ini.find(c.Golden ? "\r\nBR" : "\r\nSR"), std::string::npos) << ini;
}

INSTANTIATE_TEST_SUITE_P(
    Packed, PayloadModeTest,
    ::testing::Values(
        TPackCase{"PeNoFlags", false, {}, false, false, false, true},
        TPackCase{"ElfNoFlags", true, {}, false, false, false, true},
        TPackCase{
            "PeGoldenAndAnalysisShown", false, {"--golden-handheld", "--analysis-shown"}, true, false, true, false},
        TPackCase{
            "ElfGoldenAndAnalysisShown", true, {"--golden-handheld", "--analysis-shown"}, true, false, true, false},
        TPackCase{"PeAnalysisCheckedOnly", false, {"--analysis-checked"}, false, true, false, true},
        TPackCase{"ElfGoldenOnly", true, {"--golden-handheld"}, true, false, false, false},
        TPackCase{
            "PeAnalysisShownAndChecked", false, {"--analysis-shown", "--analysis-checked"}, false, true, true, false}),
    [](const auto& c) { return std::string(c.param.Name); });

// A plain build of either kind has no payload: the files are chosen by the
// operator.
TEST_F(AppTest, PlainProgramFilesHaveNoPayload) {
  for (bool elf : {false, true}) {
    SCOPED_TRACE(elf ? "ELF" : "PE");
    if (elf) {
      Program = Dir + "/plain";
      fs::copy_file(QV_QVTUNE_PATH, Program);
    }
    TMain& w = Open();
    ASSERT_TRUE(w.isVisible());
    EXPECT_EQ(w.Payload, nullptr);
    EXPECT_EQ(w.windowTitle(), QLatin1String("Quorvantis Pro automatic fine-tuning tool"));
    for (QWidget* c : TControls{w.File1Combo, w.File2Combo, w.SrvChk, w.GoldTxt, w.QVradio, w.AnaChk})
      EXPECT_TRUE(Shows(c)) << c->objectName().toStdString();
    Window.reset();
  }
}

// A program file that cannot be used closes the window at its first
// activation, without a settings file.
struct TUnusableCase {
  const char* Name;
  std::function<void(const std::string& path)> Make;
};

void PrintTo(const TUnusableCase& c, std::ostream* os) {
  *os << c.Name;
}

class UnusableProgramTest : public AppTest, public ::testing::WithParamInterface<TUnusableCase> {};

TEST_P(UnusableProgramTest, ClosesAndWritesNoSettings) {
  Program = Dir + "/broken.exe";
  GetParam().Make(Program);
  TMain& w = Open();
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(w.FirstActivation);
  EXPECT_EQ(w.Payload, nullptr);
  EXPECT_EQ(ReadFile(Dir + "/broken.INI"), "<no file>");
  w.close();  // a second close writes nothing either
  EXPECT_EQ(ReadFile(Dir + "/broken.INI"), "<no file>");
  EXPECT_FALSE(fs::exists(IniPath()));
}

INSTANTIATE_TEST_SUITE_P(
    Programs, UnusableProgramTest,
    ::testing::Values(TUnusableCase{"TooShortForTheHeaderOffset",
                                    [](const std::string& p) { WriteFile(p, MinimalPe().substr(0, 0x3C + 3)); }},
                      TUnusableCase{"TooShortForThePayloadField",
                                    [](const std::string& p) { WriteFile(p, MinimalPe().substr(0, 0x80 + 68 + 3)); }},
                      TUnusableCase{"Missing", [](const std::string&) {}},
                      TUnusableCase{"AFolder", [](const std::string& p) { fs::create_directory(p); }}),
    [](const auto& c) { return std::string(c.param.Name); });

}  // namespace
}  // namespace qv::test
