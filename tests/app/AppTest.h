// A real TMain on the offscreen platform, with its program file, settings
// file and port list in a scratch folder. Runs of the worker use the step
// table only, so no serial port is touched.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/Main.h"
#include "serial/PortMap.h"

// Readable values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QPoint& p, std::ostream* os) {
  *os << '(' << p.x() << ", " << p.y() << ')';
}
inline void PrintTo(const QSize& s, std::ostream* os) {
  *os << s.width() << 'x' << s.height();
}
inline void PrintTo(const QRect& r, std::ostream* os) {
  *os << r.x() << ", " << r.y() << ", " << r.width() << 'x' << r.height();
}

namespace qv::test {

namespace fs = std::filesystem;

using TControls = std::initializer_list<QWidget*>;

// Generous: only a broken run comes near it.
constexpr int kLimitMs = 20000;

const std::string kConnect =
    "Make sure the server, Quorvantis and dongle are powered\rand connected to serial communications ports of "
    "this PC.\r\rPress Ok to continue.";

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<no file>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline void Put32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The smallest program file of the Windows kind that the locator reads: an
// "MZ" file pointing at a PE header, with no payload field set.
inline std::string MinimalPe() {
  std::string file(0x200, '\0');
  file[0] = 'M';
  file[1] = 'Z';
  Put32(file, 0x3C, 0x80);
  file.replace(0x80, 4, std::string("PE\0\0", 4));
  return file;
}

// What a status text looks like on the label: "\r" breaks the lines.
inline QString Shown(const std::string& text) {
  QString s = QString::fromLatin1(text.c_str());
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

inline QStringList Items(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

inline QStringList LogLines(const TMain& w) {
  return w.LogMemo->toPlainText().split(QLatin1Char('\n'));
}

inline bool Shows(const QWidget* w) {
  return !w->isHidden();
}

inline void Click(QWidget* w) {
  QTest::mouseClick(w, Qt::LeftButton);
}

inline void Screenshot(QWidget* w, const char* name) {
  const QString dir = QStringLiteral(QV_SCREENSHOT_DIR);
  QDir().mkpath(dir);
  EXPECT_TRUE(w->grab().save(dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png")));
}

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSavedEnum = ComEnumConfig();
    std::string pattern = (fs::temp_directory_path() / "qvapp-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
    fs::create_directories(Dir + "/sys/class/tty");
    fs::create_directories(Dir + "/dev");
    // No serial device at all unless a test writes the port map.
    PortMapPath = Dir + "/qvtune.ports";
    SetComEnumConfig({Dir + "/sys", Dir + "/dev", PortMapPath});
    Program = Dir + "/qvtune";
    WriteFile(Program, MinimalPe());
  }

  void TearDown() override {
    Window.reset();
    SetComEnumConfig(FSavedEnum);
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }

  std::string IniPath() const { return Dir + "/qvtune.INI"; }

  // Creates the window on Program, shows it and waits for the end of its
  // first activation (or for it to close).
  TMain& Open() {
    Window = std::make_unique<TMain>();
    Window->ProgramPath = Program;
    Window->PrepareWorker = [this](TSerThread& t) {
      Quiet(t);
      if (Steps) Steps(t);
    };
    Window->show();
    EXPECT_TRUE(QTest::qWaitFor([this] { return !Window->FirstActivation || !Window->isVisible(); }, kLimitMs))
        << "the window was never activated";
    return *Window;
  }

  // Every step a stand-in; reading the firmware inputs logs one line.
  static void Quiet(TSerThread& t) {
    t.Steps.ReadFirmwareFiles = [](TSerThread& w) { w.LogLine("ReadFirmwareFiles"); };
    t.Steps.DetectPorts = [](TSerThread&) {};
    t.Steps.InitDevice = [](TSerThread&, TComPort&, bool) {};
    t.Steps.DecodeFirmware = [](TSerThread&) {};
    t.Steps.RunFineTuning = [](TSerThread&) {};
    t.Steps.UpdateHandheldFirmware = [](TSerThread&) {};
    t.Steps.UpdateServerFirmware = [](TSerThread&) {};
    t.Steps.ProgramServer = [](TSerThread&, int) {};
  }

  bool WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, kLimitMs); }

  bool AwaitOkPrompt() {
    TMain& w = *Window;
    const bool seen = WaitFor([&] {
      return Shows(w.StatTxt) && w.StatTxt->text() == Shown(kConnect) && Shows(w.StartBut) &&
             w.StartBut->text() == QLatin1String("&Ok");
    });
    EXPECT_TRUE(seen) << "never saw the Ok prompt";
    return seen;
  }

  bool AwaitFinished() {
    const bool seen = WaitFor([&] { return Window->Worker == nullptr && Shows(Window->StartBut); });
    EXPECT_TRUE(seen) << "the run did not end";
    return seen;
  }

  std::string Dir;
  std::string Program;
  std::string PortMapPath;
  std::unique_ptr<TMain> Window;
  // Extra preparation of each worker, after the quiet step table.
  std::function<void(TSerThread&)> Steps;

 private:
  TComEnumConfig FSavedEnum;
};

}  // namespace qv::test
