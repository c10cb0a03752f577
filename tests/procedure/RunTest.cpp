// Whole runs of the worker on its own thread, against the test window (the
// test thread is the window's thread) with a second thread playing the
// operator. The steps that other subsystems build are stood in for by the
// step table; the link operations are the real ones, talking to a scripted
// server over a pseudo-terminal, and the dongle's port is an in-memory
// device whose DSR line the test controls.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "procedure/SerThread.h"
#include "tests/support/Pty.h"
#include "tests/support/RecordingDevice.h"
#include "tests/support/TestWindow.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using test::PrintTo;

using test::TScreen;
using test::TTestWindow;

const std::string kConnect =
    "Make sure the server, Quorvantis and dongle are powered\rand connected to serial communications ports of "
    "this PC.\r\rPress Ok to continue.";
const std::string kNextUnit = "Completed successfully!\r\rDo you want to fine-tune another Quorvantis?";
const std::string kRetry = "Procedure failed!\r\rDo you want to retry, or fine-tune another Quorvantis?";
const std::string kDisconnect = "Disconnect the Quorvantis...";

// The server's side of the version query (payload 0x00, flag set) with the
// version bytes 0x24 0x0F, in transcript form.
const std::string kVersionQuery = "2<65\r2>1\r2<0\r2>3\r2<132\r2>66\r2<194\r2>36\r2<195\r2>15\r2<193\r2>96\r";
// One zero byte answered by a zero: the server is between frames.
const std::string kResync = "2<0\r2>0\r";
// Command 0x01 (flag set) answered by 0x07.
const std::string kStartServer = "2<65\r2>1\r2<1\r2>3\r2<133\r2>7\r";

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

uint8_t Rol8(uint8_t v) {
  return static_cast<uint8_t>((v << 1) | (v >> 7));
}

// The server's framed command protocol, answering each byte it gets. A zero
// between frames is echoed, as the server does while it resynchronises.
class TScriptedServer {
public:
  std::map<std::string, std::string> Replies;  // payload -> reply head and bytes
  bool Silent = false;

  std::optional<std::string> operator()(uint8_t b) {
    if (Silent) return std::nullopt;
    switch (FState) {
      case sIdle:
        if ((b & 0xC0) == 0x40) {
          FLength = b & 0x3F;
          FSum = b;
          FPayload.clear();
          FState = FLength ? sPayload : sCheck;
          return B({FLength ? 0x01 : 0x03});
        }
        if (b == 0) return B({0});
        return std::nullopt;
      case sPayload:
        FPayload += static_cast<char>(b);
        FSum = static_cast<uint8_t>(Rol8(FSum) + b);
        if (FPayload.size() < FLength) return B({0x02});
        FState = sCheck;
        return B({0x03});
      case sCheck: {
        FState = sIdle;
        if (b != (0x80 | (static_cast<uint8_t>(FSum + (FSum >> 6)) & 0x3F))) return std::nullopt;
        auto it = Replies.find(FPayload);
        FAnswer = it == Replies.end() ? B({0x07}) : it->second;
        const auto head = static_cast<uint8_t>(FAnswer[0]);
        if (head >= 0x41 && head <= 0x7E) {
          FState = sPoll;
          FNext = 1;
        }
        return FAnswer.substr(0, 1);
      }
      case sPoll:
        if (b == 0xC1) {
          FState = sIdle;
          auto d = static_cast<uint8_t>(FAnswer[0]);
          for (size_t k = 1; k < FAnswer.size(); ++k) d = static_cast<uint8_t>(Rol8(d) + FAnswer[k]);
          return B({d});
        }
        if (b == 0xC1 + FNext && FNext < FAnswer.size()) return FAnswer.substr(FNext++, 1);
        return std::nullopt;
    }
    return std::nullopt;
  }

private:
  enum { sIdle, sPayload, sCheck, sPoll } FState = sIdle;
  size_t FLength = 0;
  uint8_t FSum = 0;
  std::string FPayload, FAnswer;
  size_t FNext = 0;
};

// The worker's clock: sleeps are counted and hardly wait, and each sleep
// may change the world (the dongle's DSR line) on the worker's thread.
class TStepClock : public TClock {
public:
  TDuration Now() override { return FNow; }
  void Sleep(uint32_t ms) override {
    Sleeps.push_back(ms);
    FNow += std::chrono::milliseconds(ms);
    if (OnSleep) OnSleep(Sleeps.size());
    // Keeps an endless wait (one that only Cancel ends) from spinning.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int WaitFd(int fd, short events, int64_t timeoutUs) override { return RealClock().WaitFd(fd, events, timeoutUs); }

  std::vector<uint32_t> Sleeps;
  std::function<void(size_t sleeps)> OnSleep;

private:
  TDuration FNow{};
};

std::vector<std::string> Lines(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::string Entries(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += ">" + l + "\r";
  return s;
}

const std::vector<std::string> kAttemptStart = {"ReadFirmwareFiles", "DetectPorts", "InitDevice server"};
const std::vector<std::string> kUnit = {"InitDevice handheld", "DecodeFirmware", "RunFineTuning",
                                        "UpdateHandheldFirmware"};
const std::vector<std::string> kFailedUnit = {"InitDevice handheld", "DecodeFirmware", "RunFineTuning",
                                              "Communication error!"};
const std::vector<std::string> kRestore = {"--- Restoring server firmware to V2.1.3 ---", "ProgramServer 1"};

// What a hook saw of the worker, for checks after the run.
struct TSeen {
  bool DongleOpen, ServerOpen;
  intptr_t DongleTag, ServerTag;
  std::string InstalledServerVersion;
  uint16_t ServerWord;
};

class RunTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/qvrun-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
    Window.IniPath = Dir + "/QVTUNE.INI";
    Dongle.Tag = 0;
    Server.Tag = 1;
    Window.Ports = {&Dongle, &Server};
    Rec.Devices["dongle"].ModemWord = 0;
    Script.Replies[B({0x00})] = B({0x42, 0x24, 0x0F});
  }

  void TearDown() override {
    ServerPty.StopResponder();
    std::string cmd = "rm -rf '" + Dir + "'";
    (void)!std::system(cmd.c_str());
  }

  // The step table: each stand-in keeps the gate of the real step, logs its
  // name, and does what the driver relies on.
  void Prepare(TSerThread& w) {
    auto closed = [&w] { return w.Outcome != 0 || (w.Terminated() && !w.Finishing); };
    w.Steps.ReadFirmwareFiles = [this](TSerThread& t) {
      AtRead.push_back({Dongle.Active(), Server.Active(), Dongle.Tag, Server.Tag, t.InstalledServerVersion,
                        t.ServerImage[1].At(0x100)});
      t.LogLine("ReadFirmwareFiles");
    };
    w.Steps.DetectPorts = [this](TSerThread& t) {
      if (t.Outcome != 0 || t.Terminated()) return;
      Dongle.SetDeviceName("rec://dongle");
      Dongle.Open();
      Dongle.Tag |= 2;
      Server.SetDeviceName(ServerPty.SlavePath());
      Server.SetBaudRate(br9600);
      Server.SetDataBits(db8);
      Server.SetParity(paNone);
      Server.SetStopBits(sb1);
      Server.Timeouts().SetReadConstant(ReadTimeout);
      Server.Open();
      Server.Tag |= 2;
      t.LogLine("DetectPorts");
    };
    w.Steps.InitDevice = [this](TSerThread& t, TComPort& port, bool handheld) {
      if (t.Outcome != 0 || t.Terminated()) return;
      if (handheld) {
        EXPECT_EQ(&port, &Dongle);
        LinkOkAtHandheld.push_back(t.LinkOk);
      } else {
        EXPECT_EQ(&port, &Server);
      }
      t.LinkOk = true;
      t.LogLine(handheld ? "InitDevice handheld" : "InitDevice server");
    };
    w.Steps.DecodeFirmware = [this, closed](TSerThread& t) {
      if (closed()) return;
      AtDecode.push_back({Dongle.Active(), Server.Active(), Dongle.Tag, Server.Tag, t.InstalledServerVersion,
                          t.ServerImage[1].At(0x100)});
      t.LogLine(t.Finishing ? "DecodeFirmware server" : "DecodeFirmware");
      if (Window.RestoreServer || Window.GoldenIsHandheld) {
        t.ServerImage[1].At(0x100) = 0x3FFF;
        t.ServerFwVersion = ServerFw;
      }
    };
    w.Steps.RunFineTuning = [this, closed](TSerThread& t) {
      if (closed()) return;
      ++Units;
      t.LogLine("RunFineTuning");
      if (FailUnits.count(Units)) {
        t.LogLine("Communication error!");
        t.Outcome = 1;
      }
    };
    w.Steps.UpdateHandheldFirmware = [closed](TSerThread& t) {
      if (closed()) return;
      t.LogLine("UpdateHandheldFirmware");
    };
    w.Steps.UpdateServerFirmware = [closed](TSerThread& t) {
      if (closed()) return;
      t.LogLine("UpdateServerFirmware");
    };
    w.Steps.ProgramServer = [closed](TSerThread& t, int slot) {
      if (closed()) return;
      t.LogLine("ProgramServer " + std::to_string(slot));
    };
  }

  // Runs a whole run with the operator's script on a thread of its own.
  void RunWith(const std::function<void()>& operatorScript) {
    ServerPty.StartResponder(Script);
    std::thread hand(operatorScript);
    auto end = Window.StartRun([this](TSerThread& w) { Prepare(w); }, Clock);
    Ended = Window.Run(end);
    if (!Ended) Window.DoClos();  // a stuck run: stop it so that the test can fail
    hand.join();
    EXPECT_TRUE(Ended) << "the run did not end";
    EXPECT_EQ(Window.Worker, nullptr);
  }

  // The operator's steps. Each waits for what a person would see.
  bool AwaitOkPrompt() {
    return Await("the Ok prompt", [](const TScreen& s) {
      return s.StatTxtVisible && s.StatTxt == kConnect && s.StartButVisible && s.StartBut == "&Ok" &&
             s.Focus == "StartBut" && s.ExitButVisible && s.ExitBut == "&Cancel" && !s.LogMemoVisible;
    });
  }
  bool AwaitYesNo(const std::string& text) {
    return Await("the Yes/No prompt", [&](const TScreen& s) {
      return s.StatTxtVisible && s.StatTxt == text && s.StartButVisible && s.StartBut == "&Yes" &&
             s.Focus == "StartBut" && s.ExitBut == "&No";
    });
  }
  bool AwaitStatus(const std::string& text) {
    return Await("the status text", [&](const TScreen& s) { return s.StatTxtVisible && s.StatTxt == text; });
  }
  bool Await(const char* what, const std::function<bool(const TScreen&)>& condition) {
    const bool seen = Window.AwaitScreen(condition);
    EXPECT_TRUE(seen) << "never saw " << what;
    return seen;
  }
  // Answers a prompt and checks that the window is back in the running
  // state. The screen is taken inside the click, on the window's thread:
  // the worker's next calls cannot change it before.
  void Answer(bool yes) {
    TScreen s;
    EXPECT_TRUE(Window.Perform([&] {
      if (yes)
        Window.DoStart();
      else
        Window.DoExit();
      s = Window.Screen();
    }));
    EXPECT_TRUE(s.LogMemoVisible);
    EXPECT_EQ(s.Focus, "LogMemo");
    EXPECT_FALSE(s.StatTxtVisible) << "the question stays over the log pane";
    EXPECT_FALSE(s.StartButVisible);
    EXPECT_EQ(s.StartBut, "&Ok");
    EXPECT_EQ(s.ExitBut, "&Cancel");
  }

  void ExpectWindowRestored() {
    const TScreen s = Window.Screen();
    EXPECT_TRUE(s.LogMemoVisible);
    EXPECT_FALSE(s.StatTxtVisible);
    EXPECT_TRUE(s.StartButVisible);
    EXPECT_EQ(s.Focus, "StartBut");
    EXPECT_FALSE(s.ExitButVisible);
  }

  void ExpectPortsClosed() {
    EXPECT_FALSE(Dongle.Active());
    EXPECT_FALSE(Server.Active());
    EXPECT_EQ(Dongle.Tag, 0);
    EXPECT_EQ(Server.Tag, 1);
  }

  std::string LogFile() const {
    std::ifstream in(Dir + "/QVTUNE.ERR", std::ios::binary);
    if (!in) return "<no file>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::vector<std::string> StatusTexts() const {
    std::vector<std::string> texts;
    for (const auto& e : Window.Journal())
      if (e.rfind("StatTxt.Caption ", 0) == 0) texts.push_back(e.substr(16));
    return texts;
  }

  TTestWindow Window;
  test::TRecordingScope Rec;
  test::TPty ServerPty;
  TScriptedServer Script;
  TComPort Dongle{nullptr}, Server{nullptr};
  TStepClock Clock;
  std::string Dir;
  std::string ServerFw = " to V2.1.3";
  int32_t ReadTimeout = 250;
  std::set<int> FailUnits;
  int Units = 0;
  std::vector<TSeen> AtRead, AtDecode;
  std::vector<bool> LinkOkAtHandheld;
  bool Ended = false;
};

TEST_F(RunTest, OkThenCompletion) {
  RunWith([this] {
    if (!AwaitOkPrompt()) return;
    // Held at the prompt: nothing after it happens before the answer.
    EXPECT_FALSE(
        Window.AwaitScreen([](const TScreen& s) { return s.LogMemo.size() > 1; }, std::chrono::milliseconds(200)));
    Answer(true);
  });
  const auto body = Lines({kAttemptStart, kUnit});
  EXPECT_EQ(Window.Screen().LogMemo, Lines({body, {"Completed successfully!", "Error log file written"}}));
  EXPECT_EQ(LogFile(), Entries(kAttemptStart) + kVersionQuery + Entries(kUnit));
  EXPECT_EQ(ServerPty.Received(), B({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1}));
  EXPECT_EQ(StatusTexts(), (std::vector<std::string>{kConnect, kDisconnect}));
  // Without DSR from the start: five polls, each followed by its wait.
  EXPECT_EQ(Clock.Sleeps, std::vector<uint32_t>(5, 50));
  ASSERT_EQ(AtDecode.size(), 1u);
  EXPECT_EQ(AtDecode[0].InstalledServerVersion, "") << "only a run that restores the server keeps the version";
  ExpectWindowRestored();
  EXPECT_EQ(Window.Screen().StartBut, "&Ok");
  ExpectPortsClosed();
}

TEST_F(RunTest, DisconnectionNeedsFiveSuccessivePollsWithoutDsr) {
  // DSR at each poll: present, absent, absent, present, then absent.
  const std::vector<bool> dsr = {true, false, false, true, false, false, false, false, false};
  Rec.Devices["dongle"].ModemWord = MS_DSR_ON;
  Clock.OnSleep = [this, dsr](size_t n) {
    if (n < dsr.size()) Rec.Devices["dongle"].ModemWord = dsr[n] ? uint32_t{MS_DSR_ON} : 0u;
  };
  RunWith([this] {
    if (AwaitOkPrompt()) Window.ClickStart();
  });
  EXPECT_EQ(Clock.Sleeps, std::vector<uint32_t>(dsr.size(), 50));
  // While waiting the status replaces the pane; afterwards the pane is back
  // with the focus.
  const auto journal = Window.Journal();
  auto at = std::find(journal.begin(), journal.end(), "StatTxt.Caption " + kDisconnect);
  ASSERT_NE(at, journal.end());
  ASSERT_GE(at - journal.begin(), 2);
  ASSERT_GE(journal.end() - at, 6);
  EXPECT_EQ(std::vector<std::string>(at - 2, at + 6),
            (std::vector<std::string>{"LogMemo.Hide", "PrcBar.Hide", "StatTxt.Caption " + kDisconnect, "StatTxt.Show",
                                      "StatTxt.Hide", "LogMemo.Show", "LogMemo.Focus",
                                      "LogMemo.Add Completed successfully!"}));
}

TEST_F(RunTest, CancelAtTheOkPrompt) {
  RunWith([this] {
    if (AwaitOkPrompt()) Window.ClickExit();
  });
  EXPECT_EQ(Window.Screen().LogMemo,
            (std::vector<std::string>{"ReadFirmwareFiles", "Aborted by user!", "Error log file written"}));
  EXPECT_EQ(LogFile(), ">ReadFirmwareFiles\r");
  EXPECT_EQ(ServerPty.Received(), "") << "no byte after Cancel";
  EXPECT_EQ(Rec.Devices["dongle"].Opens, 0);
  EXPECT_TRUE(Clock.Sleeps.empty());
  // The unit's steps all did nothing, so the disconnection status comes and
  // goes at once, without a poll.
  EXPECT_EQ(StatusTexts(), (std::vector<std::string>{kConnect, kDisconnect}));
  ExpectWindowRestored();
  ExpectPortsClosed();
}

TEST_F(RunTest, SuccessYesSuccessNoGivesTwoUnitsAndOneRestore) {
  Window.RestoreServer = true;
  RunWith([this] {
    if (!AwaitOkPrompt()) return;
    Window.ClickStart();
    if (!AwaitYesNo(kNextUnit)) return;
    Answer(true);
    if (!AwaitYesNo(kNextUnit)) return;
    Answer(false);
  });
  EXPECT_EQ(Window.Screen().LogMemo, Lines({kAttemptStart,
                                            kUnit,
                                            {"Completed successfully!", "", "=== Next Quorvantis ==="},
                                            kUnit,
                                            {"Completed successfully!"},
                                            kRestore,
                                            {"Completed successfully!", "Error log file written"}}));
  // The file: the common start, the restart mark, the second unit onwards.
  EXPECT_EQ(LogFile(), Entries(kAttemptStart) + kVersionQuery + "...\r" + Entries(kUnit) + Entries({kRestore[0]}) +
                           kResync + Entries({kRestore[1]}) + kStartServer);
  ASSERT_EQ(AtDecode.size(), 2u);
  EXPECT_EQ(AtDecode[0].InstalledServerVersion, " to V2.0.15a");
  EXPECT_EQ(Units, 2);
  ExpectWindowRestored();
  ExpectPortsClosed();
}

TEST_F(RunTest, FailureYesStartsANewAttemptFromTheOkPrompt) {
  Window.RestoreServer = true;
  FailUnits = {1};
  RunWith([this] {
    if (!AwaitOkPrompt()) return;
    Window.ClickStart();
    if (!AwaitYesNo(kRetry)) return;
    Window.ClickStart();
    if (!AwaitOkPrompt()) return;
    Window.ClickStart();
    if (!AwaitYesNo(kNextUnit)) return;
    Window.ClickExit();
  });
  const auto first = Lines({kAttemptStart, kFailedUnit, {"Procedure failed!", "=== Next attempt ==="}});
  const auto second = Lines({kAttemptStart, kUnit, {"Completed successfully!"}});
  EXPECT_EQ(Window.Screen().LogMemo,
            Lines({first, second, kRestore, {"Completed successfully!", "Error log file written"}}));
  // A new attempt does not cut the transcript.
  EXPECT_EQ(LogFile(), Entries(kAttemptStart) + kVersionQuery + Entries(kFailedUnit) +
                           Entries({"=== Next attempt ==="}) + Entries(kAttemptStart) + kVersionQuery + Entries(kUnit) +
                           Entries({kRestore[0]}) + kResync + Entries({kRestore[1]}) + kStartServer);
  ASSERT_EQ(AtRead.size(), 2u);
  // The second attempt starts with the ports closed, the server's version
  // forgotten and its image marked as not decoded.
  EXPECT_FALSE(AtRead[1].DongleOpen);
  EXPECT_FALSE(AtRead[1].ServerOpen);
  EXPECT_EQ(AtRead[1].DongleTag, 0);
  EXPECT_EQ(AtRead[1].ServerTag, 1);
  EXPECT_EQ(AtRead[1].InstalledServerVersion, "");
  EXPECT_EQ(AtRead[1].ServerWord, 0xFFFF);
  EXPECT_EQ(Rec.Devices["dongle"].Opens, 2);
  EXPECT_EQ(StatusTexts(), (std::vector<std::string>{kConnect, kRetry, kConnect, kDisconnect, kNextUnit}));
  ExpectPortsClosed();
}

// Closing the window at the Yes/No prompt is no answer Yes: no new attempt,
// and the server restore still runs, bytes and all.
TEST_F(RunTest, ClosingAtTheYesNoPromptEndsTheRunWithTheRestore) {
  Window.RestoreServer = true;
  FailUnits = {1};
  RunWith([this] {
    if (!AwaitOkPrompt()) return;
    Window.ClickStart();
    if (AwaitYesNo(kRetry)) Window.Close();
  });
  EXPECT_EQ(Window.Screen().LogMemo, Lines({kAttemptStart,
                                            kFailedUnit,
                                            {"Procedure failed!"},
                                            kRestore,
                                            {"Completed successfully!", "Error log file written"}}));
  EXPECT_EQ(LogFile(), Entries(kAttemptStart) + kVersionQuery + Entries(kFailedUnit) + Entries({kRestore[0]}) +
                           kResync + Entries({kRestore[1]}) + kStartServer);
  EXPECT_EQ(AtRead.size(), 1u);
  EXPECT_TRUE(Window.Screen().Closed);
  ExpectPortsClosed();
}

// Cancel or closing while the worker waits for the handheld to go (DSR
// stays): the wait ends, the unit is reported as aborted, no prompt is
// shown, and a restore that is due still runs.
class StopTest : public RunTest {
protected:
  void StopDuringDisconnection(bool close) {
    Rec.Devices["dongle"].ModemWord = MS_DSR_ON;
    RunWith([this, close] {
      if (!AwaitOkPrompt()) return;
      Window.ClickStart();
      if (!AwaitStatus(kDisconnect)) return;
      if (close)
        Window.Close();
      else
        Window.ClickExit();
    });
    for (const auto& e : Window.Journal()) EXPECT_NE(e, "StartBut.Caption &Yes");
    ExpectWindowRestored();
    ExpectPortsClosed();
  }
};

TEST_F(StopTest, CancelDuringTheDisconnectionWait) {
  StopDuringDisconnection(false);
  EXPECT_EQ(Window.Screen().LogMemo, Lines({kAttemptStart, kUnit, {"Aborted by user!", "Error log file written"}}));
  EXPECT_EQ(LogFile(), Entries(kAttemptStart) + kVersionQuery + Entries(kUnit));
}

TEST_F(StopTest, ClosingDuringTheDisconnectionWait) {
  StopDuringDisconnection(true);
  EXPECT_EQ(Window.Screen().LogMemo, Lines({kAttemptStart, kUnit, {"Aborted by user!", "Error log file written"}}));
  EXPECT_TRUE(Window.Screen().Closed);
}

TEST_F(StopTest, ClosingDuringTheDisconnectionWaitStillRestoresTheServer) {
  Window.RestoreServer = true;
  StopDuringDisconnection(true);
  EXPECT_EQ(Window.Screen().LogMemo, Lines({kAttemptStart,
                                            kUnit,
                                            {"Aborted by user!"},
                                            kRestore,
                                            {"Completed successfully!", "Error log file written"}}));
  EXPECT_EQ(LogFile(), Entries(kAttemptStart) + kVersionQuery + Entries(kUnit) + Entries({kRestore[0]}) + kResync +
                           Entries({kRestore[1]}) + kStartServer);
}

TEST_F(RunTest, UnwritableLogFileEndsTheRunWithoutItsLine) {
  // A folder where the file should be: it cannot be created, whoever runs
  // the test.
  ASSERT_EQ(mkdir((Dir + "/QVTUNE.ERR").c_str(), 0700), 0);
  RunWith([this] {
    if (AwaitOkPrompt()) Window.ClickStart();
  });
  EXPECT_EQ(Window.Screen().LogMemo, Lines({kAttemptStart, kUnit, {"Completed successfully!"}}));
  ExpectWindowRestored();
  ExpectPortsClosed();
}

TEST_F(RunTest, ServerTunedAgainstAGoldenHandheld) {
  Window.GoldenIsHandheld = true;
  Window.RestoreServer = true;  // acts only with the handheld as unit under test
  RunWith([this] {
    if (AwaitOkPrompt()) Window.ClickStart();
  });
  EXPECT_EQ(Window.Screen().LogMemo,
            Lines({kAttemptStart,
                   {"InitDevice handheld", "DecodeFirmware", "RunFineTuning", "UpdateServerFirmware",
                    "Completed successfully!", "Error log file written"}}));
  EXPECT_TRUE(Clock.Sleeps.empty()) << "no disconnection wait";
  EXPECT_EQ(StatusTexts(), std::vector<std::string>{kConnect});
  EXPECT_EQ(ServerPty.Received(), B({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1})) << "no restore";
}

TEST_F(RunTest, ServerAlreadyRunningTheFirmwareIsNotRestored) {
  Window.RestoreServer = true;
  ServerFw = " to V2.0.15a";
  RunWith([this] {
    if (!AwaitOkPrompt()) return;
    Window.ClickStart();
    if (AwaitYesNo(kNextUnit)) Window.ClickExit();
  });
  EXPECT_EQ(Window.Screen().LogMemo,
            Lines({kAttemptStart, kUnit, {"Completed successfully!", "Error log file written"}}));
  EXPECT_EQ(ServerPty.Received(), B({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1}));
}

// The server version query through the real framed command: only a
// three-byte reply with the head 0x42, in a run that restores the server,
// gives the installed version; whatever the query gave, the link counts as
// good afterwards.
struct TVersionCase {
  const char* Name;
  std::string Reply;
  bool Silent, RestoreServer, GoldenIsHandheld;
  std::string Installed;
};

class VersionQueryTest : public RunTest, public ::testing::WithParamInterface<TVersionCase> {};

TEST_P(VersionQueryTest, InstalledServerVersion) {
  const TVersionCase& c = GetParam();
  Script.Replies[B({0x00})] = c.Reply;
  Script.Silent = c.Silent;
  Window.RestoreServer = c.RestoreServer;
  Window.GoldenIsHandheld = c.GoldenIsHandheld;
  ReadTimeout = 50;
  const bool prompts = c.RestoreServer && !c.GoldenIsHandheld;
  RunWith([this, prompts] {
    if (!AwaitOkPrompt()) return;
    Window.ClickStart();
    if (prompts && AwaitYesNo(kNextUnit)) Window.ClickExit();
  });
  ASSERT_EQ(AtDecode.size(), 1u);
  EXPECT_EQ(AtDecode[0].InstalledServerVersion, c.Installed);
  EXPECT_EQ(LinkOkAtHandheld, std::vector<bool>{true});
}

INSTANTIATE_TEST_SUITE_P(
    RunTest, VersionQueryTest,
    ::testing::Values(TVersionCase{"Restoring", B({0x42, 0x24, 0x0F}), false, true, false, " to V2.0.15a"},
                      TVersionCase{"OtherVersion", B({0x42, 0x05, 0x00}), false, true, false, " to V2.1.0"},
                      TVersionCase{"NotRestoring", B({0x42, 0x24, 0x0F}), false, false, false, ""},
                      TVersionCase{"ServerUnderTest", B({0x42, 0x24, 0x0F}), false, true, true, ""},
                      TVersionCase{"OtherHead", B({0x43, 0x24, 0x0F, 0x01}), false, true, false, ""},
                      TVersionCase{"ShortReply", B({0x41, 0x24}), false, true, false, ""},
                      TVersionCase{"OneByteReply", B({0x07}), false, true, false, ""},
                      TVersionCase{"SilentServer", "", true, false, false, ""}),
    test::TCaseName());

}  // namespace
}  // namespace qv
