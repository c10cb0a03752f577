// The settings file, the input histories and the port lists, on a real
// window and its real file.
#include "settings/SettingsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QScreen>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/app/AppTest.h"

namespace qv::test {
namespace {

using SettingsTest = AppTest;

const char* const kTwoPorts = "COM31=/dev/null\nCOM32=/dev/null\n";

// ---- paths and numbers ----------------------------------------------------------

TEST(SettingsPathTest, IniPathFor) {
  const struct {
    const char* Program;
    const char* Ini;
  } cases[] = {
      {"/opt/qv/qvtune", "/opt/qv/qvtune.INI"},
      {"C:\\Tools\\QVTUNE.EXE", "C:\\Tools\\QVTUNE.INI"},
      {"/opt/qv/qvtune.exe", "/opt/qv/qvtune.INI"},
      {"/opt/qv.d/qvtune", "/opt/qv.d/qvtune.INI"},  // the dot of a folder is no extension
      {"/opt/qv/qvtune.gz", "/opt/qv/qvtune.gz.INI"},
      {"/opt/qv/qvtune.long", "/opt/qv/qvtune.long.INI"},
      {"C:qv.exe", "C:qv.INI"},
      {"qvtune", "qvtune.INI"},
  };
  for (const auto& c : cases) EXPECT_EQ(IniPathFor(c.Program), c.Ini) << c.Program;
}

TEST(SettingsPathTest, ProgramDirOf) {
  const struct {
    const char* Program;
    const char* Dir;
  } cases[] = {
      {"/opt/qv/qvtune", "/opt/qv/"},
      {"C:\\Tools\\QVTUNE.EXE", "C:\\Tools\\"},
      {"C:qv.exe", "C:"},
      {"\\\\server\\share/mixed\\qv.exe", "\\\\server\\share/mixed\\"},
      {"qvtune", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ProgramDirOf(c.Program), c.Dir) << c.Program;
}

TEST(SettingsNumberTest, WholeLineMustConvert) {
  const struct {
    const char* Text;
    bool Ok;
    int Value;
  } cases[] = {
      {"192", true, 192},
      {"0", true, 0},
      {"-8", true, -8},
      {"+7", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {" 12", false, 0},
      {"12 ", false, 0},
      {"12a", false, 0},
      {"0x10", false, 0},
      {"1.5", false, 0},
      {"1\t", false, 0},
  };
  for (const auto& c : cases) {
    int value = 12345;
    EXPECT_EQ(ParseSettingsNumber(c.Text, value), c.Ok) << '"' << c.Text << '"';
    EXPECT_EQ(value, c.Ok ? c.Value : 12345) << '"' << c.Text << '"';
  }
}

// ---- reading ----------------------------------------------------------------------

struct TReadCase {
  const char* Name;
  const char* File;  // null: no settings file
  QPoint Pos;
  QSize Size;
  bool Golden, Restore, Analysis;
  const char* Com1;
  const char* LastDongle;
  const char* Com2;
  const char* LastServer;
  QStringList History1, History2, History3;
};

void PrintTo(const TReadCase& c, std::ostream* os) {
  *os << c.Name;
}

class SettingsReadTest : public AppTest, public ::testing::WithParamInterface<TReadCase> {};

TEST_P(SettingsReadTest, Applied) {
  const TReadCase& c = GetParam();
  WriteFile(PortMapPath, kTwoPorts);
  if (c.File != nullptr) WriteFile(IniPath(), c.File);
  TMain& w = Open();
  ASSERT_TRUE(w.isVisible());
  EXPECT_EQ(w.pos(), c.Pos);
  EXPECT_EQ(w.size(), c.Size);
  EXPECT_EQ(w.GoldenIsHandheld, c.Golden);
  EXPECT_EQ(w.QVradio->isChecked(), c.Golden);
  EXPECT_EQ(w.SrvChk->isChecked(), c.Restore);
  EXPECT_EQ(w.RestoreServer, c.Restore);
  EXPECT_EQ(w.AnaChk->isChecked(), c.Analysis);
  EXPECT_EQ(Items(w.COM1Combo), (QStringList{"Auto detect", "COM31", "COM32"}));
  EXPECT_EQ(w.COM1Combo->currentText(), QLatin1String(c.Com1));
  EXPECT_EQ(w.LastDonglePort, c.LastDongle);
  EXPECT_EQ(w.COM2Combo->currentText(), QLatin1String(c.Com2));
  EXPECT_EQ(w.LastServerPort, c.LastServer);
  const QStringList* histories[] = {&c.History1, &c.History2, &c.History3};
  const QComboBox* combos[] = {w.File1Combo, w.File2Combo, w.File3Combo};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(Items(combos[i]), *histories[i]);
    // The most recent entry is the file of the next run.
    EXPECT_EQ(combos[i]->currentText(), histories[i]->value(0));
  }
  EXPECT_EQ(Shows(w.File3Combo), c.Golden || c.Restore);
}

const QPoint kDesignPos{192, 107};
const QSize kDesignSize{354, 370};

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsReadTest,
    ::testing::Values(
        TReadCase{"Missing",
                  nullptr,
                  kDesignPos,
                  kDesignSize,
                  false,
                  false,
                  false,
                  "Auto detect",
                  "",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"Complete",
                  "10\r\n20\r\n400\r\n420\r\nBRA\r\nCOM31\tCOM32\r\ncom32\tCOM31\r\na.qpf\tb.qpf\r\nc.bin\r\nd.sff\r\n",
                  {10, 20},
                  {400, 420},
                  true,
                  true,
                  true,
                  "COM31",
                  "COM32",
                  "COM32",
                  "COM31",
                  {"a.qpf", "b.qpf"},
                  {"c.bin"},
                  {"d.sff"}},
        TReadCase{"NumbersThatDoNotConvert",
                  " 5\r\n6 \r\n+\r\n12a\r\nSA\r\n",
                  kDesignPos,
                  kDesignSize,
                  false,
                  false,
                  true,
                  "Auto detect",
                  "",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"SignedNumbers",
                  "+7\r\n9\r\n\r\n380\r\n",
                  {7, 9},
                  {354, 380},
                  false,
                  false,
                  false,
                  "Auto detect",
                  "",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"SmallerThanTheSmallestWindow",
                  "\r\n\r\n100\r\n100\r\n",
                  kDesignPos,
                  {342, 361},
                  false,
                  false,
                  false,
                  "Auto detect",
                  "",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"FlagsAnywhereInTheLine",
                  "\r\n\r\n\r\n\r\nxBz\r\n",
                  kDesignPos,
                  kDesignSize,
                  true,
                  false,
                  false,
                  "Auto detect",
                  "",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"RestoreAndAnalysis",
                  "\r\n\r\n\r\n\r\nAR\r\n",
                  kDesignPos,
                  kDesignSize,
                  false,
                  true,
                  true,
                  "Auto detect",
                  "",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"PortWithoutTab",
                  "\r\n\r\n\r\n\r\nS\r\nCOM32\r\nCOM31\r\n",
                  kDesignPos,
                  kDesignSize,
                  false,
                  false,
                  false,
                  "COM32",
                  "",
                  "COM31",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"PortNoLongerPresent",
                  "\r\n\r\n\r\n\r\nS\r\nCOM9\tCOM9\r\nCOM8\tCOM31\r\n",
                  kDesignPos,
                  kDesignSize,
                  false,
                  false,
                  false,
                  "Auto detect",
                  "COM9",
                  "Auto detect",
                  "COM31",
                  {},
                  {},
                  {}},
        TReadCase{"TabsAfterTheFirstBelongToTheLastPort",
                  "\r\n\r\n\r\n\r\nS\r\n\tCOM31\tx\r\n",
                  kDesignPos,
                  kDesignSize,
                  false,
                  false,
                  false,
                  "Auto detect",
                  "COM31\tx",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"EndsEarlyWithoutLineEnd",
                  "10\r\n20\r\n360",
                  {10, 20},
                  {360, 370},
                  false,
                  false,
                  false,
                  "Auto detect",
                  "",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {}},
        TReadCase{"LineFeedsOnly",
                  "10\n20\n400\n420\nB\nCOM31\tCOM32\n\n\n\ne.sff\n",
                  {10, 20},
                  {400, 420},
                  true,
                  false,
                  false,
                  "COM31",
                  "COM32",
                  "Auto detect",
                  "",
                  {},
                  {},
                  {"e.sff"}},
        TReadCase{"EmptyHistoryEntriesSkipped",
                  "\r\n\r\n\r\n\r\nS\r\n\r\n\r\n\ta\t\tb\t\r\n\t\t\r\nc\r\n",
                  kDesignPos,
                  kDesignSize,
                  false,
                  false,
                  false,
                  "Auto detect",
                  "",
                  "Auto detect",
                  "",
                  {"a", "b"},
                  {},
                  {"c"}}),
    [](const auto& c) { return std::string(c.param.Name); });

// A settings file that opens but cannot be read (a folder) leaves the
// design values; one that cannot be written is skipped in silence.
TEST_F(SettingsTest, UnreadableAndUnwritableFileAreSilent) {
  fs::create_directory(IniPath());
  TMain& w = Open();
  ASSERT_TRUE(w.isVisible());
  EXPECT_EQ(w.pos(), kDesignPos);
  EXPECT_EQ(w.size(), kDesignSize);
  EXPECT_EQ(w.COM1Combo->currentText(), QLatin1String("Auto detect"));
  w.close();
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(fs::is_directory(IniPath()));
}

// ---- what the window cannot show -------------------------------------------------

struct TGeometryCase {
  const char* Name;
  const char* Lines;  // lines 1 to 4
  QPoint Pos;
  QSize Size;
};

void PrintTo(const TGeometryCase& c, std::ostream* os) {
  *os << c.Name;
}

class SettingsGeometryTest : public AppTest, public ::testing::WithParamInterface<TGeometryCase> {};

// A size or position that cannot be shown is not applied as it is: the
// window stays on the screen, no larger than it, and paints; what it
// writes back starts it the same way next time.
TEST_P(SettingsGeometryTest, WindowStaysUsableAndOnTheScreen) {
  const TGeometryCase& c = GetParam();
  WriteFile(IniPath(), std::string(c.Lines) + "B\r\n");
  TMain& w = Open();
  ASSERT_TRUE(w.isVisible());
  ASSERT_EQ(w.screen()->availableGeometry(), QRect(0, 0, 800, 800)) << "the offscreen platform's screen";
  EXPECT_EQ(w.pos(), c.Pos);
  EXPECT_EQ(w.size(), c.Size);
  EXPECT_TRUE(w.GoldenIsHandheld) << "the lines after the geometry still apply";
  EXPECT_FALSE(w.grab().isNull());
  w.close();
  EXPECT_EQ(ReadFile(IniPath()).substr(0, ReadFile(IniPath()).find("B\r\n")),
            std::to_string(c.Pos.x()) + "\r\n" + std::to_string(c.Pos.y()) + "\r\n" + std::to_string(c.Size.width()) +
                "\r\n" + std::to_string(c.Size.height()) + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Extremes, SettingsGeometryTest,
    ::testing::Values(
        TGeometryCase{"LargestWidgetSize", "10\r\n20\r\n16777215\r\n16777215\r\n", {0, 0}, {800, 800}},
        TGeometryCase{"LargerThanTheScreen", "0\r\n0\r\n20000\r\n20000\r\n", {0, 0}, {800, 800}},
        TGeometryCase{
            "Int32Extremes", "-2147483648\r\n2147483647\r\n2147483647\r\n-2147483648\r\n", {0, 107}, {800, 361}},
        // A window cut down to the screen lies wholly on it.
        TGeometryCase{"WiderThanTheScreen", "300\r\n50\r\n5000\r\n400\r\n", {0, 50}, {800, 400}},
        TGeometryCase{"NegativeSize", "\r\n\r\n-1\r\n-2147483648\r\n", kDesignPos, {342, 361}},
        TGeometryCase{"FarBeyondTheScreen", "2147483647\r\n2147483647\r\n\r\n\r\n", kDesignPos, kDesignSize},
        TGeometryCase{"AboveTheScreen", "100\r\n-400\r\n\r\n\r\n", kDesignPos, kDesignSize},
        TGeometryCase{"JustBesideTheScreen", "800\r\n100\r\n\r\n\r\n", kDesignPos, kDesignSize},
        // Partly off the screen, Start and Exit would be out of reach: the
        // window moves onto it, its frame (2 pixels here) included. One that
        // lies on it stays.
        TGeometryCase{"PartlyOffTheRightAndBottom", "600\r\n700\r\n\r\n\r\n", {442, 426}, kDesignSize},
        TGeometryCase{"WhollyOnTheScreen", "442\r\n426\r\n\r\n\r\n", {442, 426}, kDesignSize},
        TGeometryCase{"ScreenSized", "0\r\n0\r\n800\r\n800\r\n", {0, 0}, {800, 800}}),
    [](const ::testing::TestParamInfo<TGeometryCase>& tpi) { return std::string(tpi.param.Name); });

// Two screens side by side, the second one to the left of the first and
// lower: coordinates of a screen other than the first may be negative.
TEST(FitToScreensTest, KeepsWhatIsWithinReachOnAnyScreen) {
  const QList<QRect> screens = {QRect(0, 0, 1920, 1040), QRect(-1280, 200, 1280, 984)};
  const QRect design(192, 107, 354, 370);
  const QSize minimum(342, 361);
  const struct {
    const char* Name;
    std::optional<int> Left, Top, Width, Height;
    QRect Expected;
  } cases[] = {
      {"Sane", 10, 20, 400, 420, QRect(10, 20, 400, 420)},
      {"OnTheOtherScreen", -1000, 300, {}, {}, QRect(-1000, 300, 354, 370)},
      {"AcrossBothScreens", -200, 300, {}, {}, QRect(-200, 300, 354, 370)},
      {"AboveTheOtherScreen", -1000, 100, {}, {}, design},
      {"CaptionBarelyOnTheScreen", 1870, 500, {}, {}, design},
      {"SizeOfTheLargestScreenAtMost", 0, 0, 5000, 5000, QRect(0, 0, 1920, 1040)},
      {"CutDownOnTheOtherScreen", -1100, 300, 1000, 5000, QRect(-1100, 200, 1000, 1040)},
      {"SmallestSizeAtLeast", {}, {}, 0, -5, QRect(192, 107, 342, 361)},
      {"NothingStored", {}, {}, {}, {}, design},
  };
  for (const auto& c : cases) {
    TSettings stored;
    stored.Left = c.Left;
    stored.Top = c.Top;
    stored.Width = c.Width;
    stored.Height = c.Height;
    EXPECT_EQ(FitToScreens(stored, design, minimum, screens), c.Expected) << c.Name;
  }
  // A design place off every screen gives way to the first screen.
  TSettings far;
  far.Left = 100000;
  EXPECT_EQ(FitToScreens(far, QRect(-5000, 5000, 354, 370), minimum, screens), QRect(0, 670, 354, 370));
}

// A display of 1280 x 900 scaled by 2 is 640 x 450 to the window: the design
// place leaves Start and Exit below its bottom edge, so the window moves up
// just enough, its frame included; a place that fits stays as it was.
TEST(FitToScreensTest, ScaledDisplayKeepsTheBottomRowOnTheScreen) {
  const QList<QRect> scaled = {QRect(0, 0, 640, 450)};
  const QRect design(192, 107, 354, 370);
  const QSize minimum(342, 361);
  const QMargins frame(1, 24, 1, 1);
  const struct {
    const char* Name;
    std::optional<int> Left, Top;
    QMargins Frame;
    QRect Expected;
  } cases[] = {
      {"DesignPlace", {}, {}, {}, QRect(192, 80, 354, 370)},
      {"DesignPlaceWithItsFrame", {}, {}, frame, QRect(192, 55, 354, 370)},
      {"StoredPlaceThatFits", 40, 30, frame, QRect(40, 30, 354, 370)},
      {"StoredPlaceTooFarRight", 400, 30, frame, QRect(284, 30, 354, 370)},
  };
  for (const auto& c : cases) {
    TSettings stored;
    stored.Left = c.Left;
    stored.Top = c.Top;
    EXPECT_EQ(FitToScreens(stored, design, minimum, scaled, c.Frame), c.Expected) << c.Name;
  }
}

// The window itself on such a display (the offscreen platform given one
// screen of 1280 x 900 and QT_SCALE_FACTOR=2, in a process of its own), with
// no settings file: Start and Exit lie on the screen.
TEST_F(SettingsTest, ScaledDisplayWithDefaultSettingsKeepsStartAndExitReachable) {
  if (qEnvironmentVariableIsEmpty("QV_SCALED_DISPLAY")) {
#if defined(__SANITIZE_THREAD__)
    // QProcess starts its child from this multi-threaded process in a way
    // ThreadSanitizer cannot follow: it loses track of the locks of the
    // threads started after (the records writer's) and reports races, or
    // dies. The test is one of geometry; the other builds run it.
    GTEST_SKIP() << "a child process under ThreadSanitizer";
#endif
    const std::string config = Dir + "/screens.json";
    WriteFile(config, R"({"windowFrameMargins": true, "screens": [{"name": "scaled", "x": 0, "y": 0, "width": 1280, )"
                      R"("height": 900, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QV_SCALED_DISPLAY"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"),
               QStringLiteral("offscreen:configfile=") + QString::fromStdString(config));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=SettingsTest.ScaledDisplayWithDefaultSettingsKeepsStartAndExitReachable")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const std::string output = child.readAll().toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    return;
  }
  TMain& w = Open();
  ASSERT_TRUE(w.isVisible());
  const QRect screen = w.screen()->availableGeometry();
  ASSERT_EQ(screen, QRect(0, 0, 640, 450));
  EXPECT_TRUE(screen.contains(w.frameGeometry()))
      << "frame " << w.frameGeometry().y() << "+" << w.frameGeometry().height();
  for (QPushButton* button : {w.StartBut, w.ExitBut}) {
    ASSERT_TRUE(button->isVisible());
    EXPECT_TRUE(screen.contains(QRect(button->mapToGlobal(QPoint(0, 0)), button->size())))
        << button->text().toStdString();
  }
  EXPECT_EQ(w.pos().x(), 192) << "moved up only";
}

// A history entry or a port is an operator's name: it comes back byte for
// byte, whether or not it is text in the system's encoding, and the worker
// gets those bytes.
TEST_F(SettingsTest, NamesKeepTheirBytes) {
  const std::string latin1 = "/tmp/caf\xe9.bin", utf8 = "/tmp/caf\xc3\xa9.bin", cut = "/fw/\xc3.qpf";
  const std::string file = "192\r\n107\r\n354\r\n370\r\nS\r\nAuto detect\tCOM\xff\r\nAuto detect\t\r\n" + latin1 +
                           "\t" + utf8 + "\t" + cut + "\r\n" + utf8 + "\r\n\xff\xfe\r\n";
  WriteFile(IniPath(), file);
  {
    TMain& w = Open();
    EXPECT_EQ(w.LastDonglePort, "COM\xff");
    EXPECT_EQ(w.File2Combo->currentText(), QStringLiteral("/tmp/caf\u00e9.bin"))
        << "text of the system's encoding shows";
    w.close();
  }
  EXPECT_EQ(ReadFile(IniPath()), file);

  // Chosen again, an entry moves to the top with its bytes.
  Window.reset();
  TMain& w = Open();
  w.File1Combo->setCurrentIndex(2);
  w.AddToHistory(ciFile1);
  const TComboState copy = w.Combo(ciFile1);
  EXPECT_EQ(copy.Items, (std::vector<std::string>{cut, latin1, utf8}));
  EXPECT_EQ(copy.Text, cut);
}

// Opening a settings file that blocks (a FIFO without a writer or reader)
// would hold up the window's thread for ever: such a file is neither read
// nor written, and stays as it is.
TEST_F(SettingsTest, FifoAsSettingsFileHoldsNothingUp) {
  ASSERT_EQ(mkfifo(IniPath().c_str(), 0600), 0);
  // Should the window block on it anyway, this lets it go after a while,
  // so that the test fails instead of hanging.
  std::mutex lock;
  std::condition_variable stop;
  bool done = false;
  int rescues = 0;
  std::thread rescuer([&] {
    std::vector<int> readers;
    std::unique_lock<std::mutex> guard(lock);
    while (!stop.wait_for(guard, std::chrono::seconds(5), [&] { return done; })) {
      ++rescues;
      const int writer = open(IniPath().c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) close(writer);
      readers.push_back(open(IniPath().c_str(), O_RDONLY | O_NONBLOCK));
    }
    for (int fd : readers) close(fd);
  });
  {
    TMain& w = Open();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.pos(), kDesignPos);
    w.close();
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    done = true;
  }
  stop.notify_one();
  rescuer.join();
  EXPECT_EQ(rescues, 0) << "the window blocked on the FIFO";
  EXPECT_TRUE(fs::is_fifo(IniPath()));
}

// ---- writing ------------------------------------------------------------------

TEST_F(SettingsTest, RoundTrip) {
  WriteFile(PortMapPath, kTwoPorts);
  {
    TMain& w = Open();
    w.move(50, 60);
    w.resize(400, 420);
    ASSERT_TRUE(WaitFor([&] { return w.pos() == QPoint(50, 60) && w.size() == QSize(400, 420); }));
    Click(w.SrvChk);
    Click(w.QVradio);
    Click(w.AnaChk);
    w.COM1Combo->setCurrentIndex(2);
    w.LastDonglePort = "COM7";
    w.File1Combo->addItems({"/fw/a.qpf", "/fw/b.bin"});
    w.File3Combo->addItem(QStringLiteral("/fw/c.sff"));
    w.close();
  }
  const std::string written =
      "50\r\n60\r\n400\r\n420\r\nBRA\r\nCOM32\tCOM7\r\nAuto detect\t\r\n/fw/a.qpf\t/fw/b.bin\r\n\r\n/fw/c.sff\r\n";
  ASSERT_EQ(ReadFile(IniPath()), written);

  Window.reset();
  TMain& w = Open();
  EXPECT_EQ(w.pos(), QPoint(50, 60));
  EXPECT_EQ(w.size(), QSize(400, 420));
  EXPECT_TRUE(w.GoldenIsHandheld);
  EXPECT_TRUE(w.SrvChk->isChecked());
  EXPECT_TRUE(w.RestoreServer);
  EXPECT_TRUE(w.AnaChk->isChecked());
  EXPECT_EQ(w.COM1Combo->currentText(), QLatin1String("COM32"));
  EXPECT_EQ(w.LastDonglePort, "COM7");
  EXPECT_EQ(Items(w.File1Combo), (QStringList{"/fw/a.qpf", "/fw/b.bin"}));
  EXPECT_EQ(w.File1Combo->currentText(), QLatin1String("/fw/a.qpf"));
  EXPECT_EQ(Items(w.File3Combo), QStringList{"/fw/c.sff"});
  w.close();
  EXPECT_EQ(ReadFile(IniPath()), written);
}

// The operator's typed file name is no history entry; the combo's text of
// a port combo is its selected port.
TEST_F(SettingsTest, WrittenFromItemsAndSelection) {
  TMain& w = Open();
  w.File2Combo->addItem(QStringLiteral("/fw/kept.bin"));
  w.File2Combo->setEditText(QStringLiteral("/fw/typed.bin"));
  w.COM2Combo->setCurrentIndex(9);
  w.LastServerPort = "COM2";
  w.close();
  EXPECT_EQ(ReadFile(IniPath()),
            "192\r\n107\r\n354\r\n370\r\nS\r\nAuto detect\t\r\nCOM9\tCOM2\r\n\r\n/fw/kept.bin\r\n\r\n");
}

// A history line written by hand with 12 entries loads whole and is written
// back unchanged, until the next addition trims it to 10.
TEST_F(SettingsTest, TwelveEntriesByHand) {
  QStringList entries;
  for (int i = 1; i <= 12; ++i) entries << QStringLiteral("/fw/f%1.qpf").arg(i);
  const std::string file = "192\r\n107\r\n354\r\n370\r\nS\r\nAuto detect\t\r\nAuto detect\t\r\n" +
                           entries.join(QLatin1Char('\t')).toStdString() + "\r\n\r\n\r\n";
  WriteFile(IniPath(), file);
  {
    TMain& w = Open();
    EXPECT_EQ(Items(w.File1Combo), entries);
    w.close();
  }
  EXPECT_EQ(ReadFile(IniPath()), file);
  Window.reset();
  TMain& w = Open();
  w.File1Combo->setEditText(QStringLiteral("/fw/new.qpf"));
  w.AddToHistory(ciFile1);
  EXPECT_EQ(Items(w.File1Combo), QStringList{"/fw/new.qpf"} + entries.mid(0, 9));
}

// ---- histories ------------------------------------------------------------------

struct THistoryCase {
  const char* Name;
  QStringList Before;
  const char* Text;
  QStringList After;
};

QStringList Numbered(int n) {
  QStringList items;
  for (int i = 0; i < n; ++i) items << QStringLiteral("f%1").arg(i);
  return items;
}

void PrintTo(const THistoryCase& c, std::ostream* os) {
  *os << c.Name;
}

class HistoryTest : public AppTest, public ::testing::WithParamInterface<THistoryCase> {};

TEST_P(HistoryTest, AddToHistory) {
  const THistoryCase& c = GetParam();
  TMain& w = Open();
  w.File1Combo->addItems(c.Before);
  w.File1Combo->setEditText(QLatin1String(c.Text));
  // As the worker's file reading calls it: by id, on the window's thread.
  w.AddToHistory(ciFile1);
  EXPECT_EQ(Items(w.File1Combo), c.After);
  EXPECT_EQ(w.File1Combo->currentIndex(), 0);
  EXPECT_EQ(w.File1Combo->currentText(), c.After.first());
  // The worker's copy follows.
  const TComboState copy = w.Combo(ciFile1);
  ASSERT_EQ(copy.Items.size(), static_cast<size_t>(c.After.size()));
  for (qsizetype i = 0; i < c.After.size(); ++i)
    EXPECT_EQ(copy.Items[static_cast<size_t>(i)], c.After[i].toStdString());
  EXPECT_EQ(copy.ItemIndex, 0);
  EXPECT_EQ(copy.Text, c.After.first().toStdString());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HistoryTest,
    ::testing::Values(
        THistoryCase{"FirstEntry", {}, "a.qpf", {"a.qpf"}},
        THistoryCase{"ItemThreeMovesToTheTop", {"a", "b", "c", "d", "e"}, "d", {"d", "a", "b", "c", "e"}},
        THistoryCase{"NewTextDropsTheOldestOfTen", Numbered(10), "new", QStringList{"new"} + Numbered(9)},
        THistoryCase{"TopInAnotherLetterCaseChangesNothing", {"A.QPF", "b"}, "a.qpf", {"A.QPF", "b"}},
        THistoryCase{"LowerItemInAnotherLetterCaseTakesTheNewCase", {"a", "B.QPF", "c"}, "b.qpf", {"b.qpf", "a", "c"}},
        THistoryCase{"LastOfTwelveMovesUpAndTheRestIsTrimmed", Numbered(12), "F11", QStringList{"F11"} + Numbered(9)}),
    [](const auto& c) { return std::string(c.param.Name); });

TEST_F(SettingsTest, SelectComboItemIgnoresLetterCase) {
  WriteFile(PortMapPath, kTwoPorts);
  TMain& w = Open();
  const struct {
    const char* Text;
    int Index;
  } cases[] = {{"COM32", 2}, {"com31", 1}, {"auto DETECT", 0}, {"COM3", 0}, {"", 0}, {"COM32 ", 0}};
  for (const auto& c : cases) {
    w.COM1Combo->setCurrentIndex(1);
    w.SelectComboItem(w.COM1Combo, QLatin1String(c.Text));
    EXPECT_EQ(w.COM1Combo->currentIndex(), c.Index) << '"' << c.Text << '"';
  }
}

TEST_F(SettingsTest, JoinAndSplitHistory) {
  TMain& w = Open();
  EXPECT_EQ(w.JoinHistory(w.File2Combo), QString());
  w.SplitHistory(w.File2Combo, QStringLiteral("a\tb"));
  w.SplitHistory(w.File2Combo, QStringLiteral("\t\tc\t"));
  EXPECT_EQ(Items(w.File2Combo), (QStringList{"a", "b", "c"})) << "appended, empty entries skipped";
  EXPECT_EQ(w.JoinHistory(w.File2Combo), QLatin1String("a\tb\tc"));
}

// ---- port lists -------------------------------------------------------------------

TEST_F(SettingsTest, NoSerialDeviceGivesCom1ToCom9) {
  TMain& w = Open();
  const QStringList expected = {"Auto detect", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"};
  EXPECT_EQ(Items(w.COM1Combo), expected);
  EXPECT_EQ(Items(w.COM2Combo), expected);
  EXPECT_EQ(w.COM1Combo->currentIndex(), 0);
}

// Either button refreshes both lists; each keeps its selection where the
// port is still there.
TEST_F(SettingsTest, UpdateRefreshesBothPortLists) {
  TMain& w = Open();
  w.COM1Combo->setCurrentIndex(3);  // COM3
  w.COM2Combo->setCurrentIndex(5);  // COM5
  WriteFile(PortMapPath, "COM40=/dev/null\nCOM3=/dev/null\n");
  Click(w.Upd2But);
  EXPECT_EQ(Items(w.COM1Combo), (QStringList{"Auto detect", "COM40", "COM3"}));
  EXPECT_EQ(Items(w.COM2Combo), (QStringList{"Auto detect", "COM40", "COM3"}));
  EXPECT_EQ(w.COM1Combo->currentText(), QLatin1String("COM3"));
  EXPECT_EQ(w.COM2Combo->currentText(), QLatin1String("Auto detect"));
  fs::remove(PortMapPath);
  Click(w.Upd1But);
  EXPECT_EQ(w.COM1Combo->count(), 10);
  EXPECT_EQ(w.COM2Combo->count(), 10);
  EXPECT_EQ(w.COM1Combo->currentText(), QLatin1String("COM3"));
}

}  // namespace
}  // namespace qv::test
