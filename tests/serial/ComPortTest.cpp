// The port's own rules: construction values, what an assignment re-applies,
// open and close with their events, the error path and the closed-port
// checks. The device underneath is the recording device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/RecordingDevice.h"

namespace qv {
namespace {

struct TEventLog {
  std::vector<std::string> Calls;
  void BeforeOpen(TCustomComPort*) { Calls.push_back("BeforeOpen"); }
  void AfterOpen(TCustomComPort*) { Calls.push_back("AfterOpen"); }
  void BeforeClose(TCustomComPort*) { Calls.push_back("BeforeClose"); }
  void AfterClose(TCustomComPort*) { Calls.push_back("AfterClose"); }
  void BeforeRead(TCustomComPort*, void*, int32_t len, bool wait) {
    Calls.push_back("BeforeRead " + std::to_string(len) + (wait ? " wait" : ""));
  }
  void AfterRead(TCustomComPort*, void*, int32_t len, bool) { Calls.push_back("AfterRead " + std::to_string(len)); }
  void LineError(TCustomComPort*, TLineErrors e) { Calls.push_back("LineError " + std::to_string(e.Bits)); }
  void Error(TCustomComPort*, EComError& e, TComAction& action) {
    Calls.push_back("OnError " + e.Message);
    action = AbortOnError ? caAbort : caFail;
  }
  void Notify(TCustomComPort*) {}
  bool AbortOnError = false;
};

class ComPortTest : public ::testing::Test {
protected:
  void SetUp() override {
    port.SetDeviceName("rec://a");
    port.BeforeOpen = TOpenCloseEvent::Of<&TEventLog::BeforeOpen>(&log);
    port.AfterOpen = TOpenCloseEvent::Of<&TEventLog::AfterOpen>(&log);
    port.BeforeClose = TOpenCloseEvent::Of<&TEventLog::BeforeClose>(&log);
    port.AfterClose = TOpenCloseEvent::Of<&TEventLog::AfterClose>(&log);
  }
  test::TRecordedDevice& Dev() { return devices.Devices["a"]; }

  test::TRecordingScope devices;
  TEventLog log;
  TComPort port{nullptr};
};

TEST(ComPortConstruction, ValuesAtConstruction) {
  TComPort p(nullptr);
  EXPECT_FALSE(p.Active());
  EXPECT_EQ(p.BaudRate(), brDefault);
  EXPECT_EQ(p.CustomBaudRate(), 0);
  EXPECT_EQ(p.BufferSizes().Input(), 4096);
  EXPECT_EQ(p.BufferSizes().Output(), 2048);
  EXPECT_EQ(p.Characters().XOn(), 0x11);
  EXPECT_EQ(p.Characters().XOff(), 0x13);
  EXPECT_EQ(p.Characters().Error(), 0);
  EXPECT_EQ(p.DataBits(), dbDefault);
  EXPECT_EQ(p.DeviceName(), "COM2");
  EXPECT_EQ(p.FlowControl().DTR(), dcDefault);
  EXPECT_EQ(p.FlowControl().RTS(), rcDefault);
  EXPECT_EQ(p.FlowControl().XOnXOff(), xcDefault);
  EXPECT_TRUE(p.Options().Empty());
  EXPECT_EQ(p.Parity(), paDefault);
  EXPECT_EQ(p.PriorityClass(), pcDefault);
  EXPECT_EQ(p.StopBits(), sbDefault);
  EXPECT_TRUE(p.SynchronizeEvents());
  EXPECT_EQ(p.ThreadPriority(), tpTimeCritical);
  EXPECT_EQ(p.Timeouts().ReadConstant(), 0);
  EXPECT_EQ(p.SavedPriorityClass(), -1);
  EXPECT_EQ(p.Tag, 0);
}

TEST(ComPortConstruction, AboutNamesOurComponentAndIgnoresAssignments) {
  TComPort p(nullptr);
  const std::string about = p.About();
  EXPECT_NE(about.find("qvtune"), std::string::npos);
  p.SetAbout("something else");
  EXPECT_EQ(p.About(), about);
}

TEST(ComPortConstruction, OwnerFreesItsPorts) {
  auto* owner = new TComponent(nullptr);
  auto* p = new TComPort(owner);
  EXPECT_EQ(p->Owner(), owner);
  delete owner;  // frees p; sanitizers catch a leak or a double free
}

TEST(ComPortCustomRate, ReadingFollowsTheSelectedRate) {
  TComPort p(nullptr);
  p.SetBaudRate(br9600);
  EXPECT_EQ(p.CustomBaudRate(), 9600);
  p.SetBaudRate(brDefault);
  EXPECT_EQ(p.CustomBaudRate(), 0);
}

TEST(ComPortCustomRate, TheStoredCustomRateChangesNothing) {
  TComPort p(nullptr);
  p.SetCustomBaudRate(0);  // the stored custom rate is 0
  EXPECT_EQ(p.BaudRate(), brDefault);
  p.SetCustomBaudRate(31250);
  EXPECT_EQ(p.BaudRate(), brCustom);
  EXPECT_EQ(p.CustomBaudRate(), 31250);
  p.SetBaudRate(br9600);
  p.SetCustomBaudRate(31250);
  EXPECT_EQ(p.BaudRate(), br9600) << "same custom rate as stored, even while not brCustom";
  p.SetCustomBaudRate(250000);
  EXPECT_EQ(p.BaudRate(), brCustom);
}

TEST_F(ComPortTest, OpenAndCloseAreIdempotentAndCallTheirEventsOnce) {
  port.Open();
  port.Open();
  EXPECT_TRUE(port.Active());
  EXPECT_EQ(Dev().Opens, 1);
  port.Close();
  port.Close();
  EXPECT_FALSE(port.Active());
  EXPECT_FALSE(Dev().IsOpen);
  EXPECT_EQ(log.Calls, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "BeforeClose", "AfterClose"}));
}

TEST_F(ComPortTest, OpenPurgesThenAppliesSettingsInOrder) {
  port.Timeouts().SetReadConstant(50);
  port.Open();
  EXPECT_EQ(Dev().Purges, (std::vector<uint32_t>{0x0A, 0x05}));
  ASSERT_EQ(Dev().QueueSizes.size(), 1u);
  EXPECT_EQ(Dev().QueueSizes[0], (std::pair<uint32_t, uint32_t>{4096, 2048}));
  EXPECT_EQ(Dev().StateWrites.size(), 1u);
  ASSERT_EQ(Dev().TimeoutWrites.size(), 1u);
  EXPECT_EQ(Dev().TimeoutWrites[0], (TCommTimeouts{0, 0, 50, 0, 0}));
  EXPECT_EQ(Dev().EventMasks, (std::vector<uint32_t>{0})) << "no handler: empty mask";
  EXPECT_EQ(port.Monitor(), nullptr);
}

TEST_F(ComPortTest, ActiveOpensAndClosesAndIsRememberedWhileLoading) {
  port.SetActive(true);
  EXPECT_TRUE(port.Active());
  EXPECT_TRUE(port.StoredActive());
  port.SetActive(false);
  EXPECT_FALSE(port.Active());

  port.BeginLoading();
  port.SetActive(true);
  EXPECT_FALSE(port.Active()) << "nothing opens while the description loads";
  port.EndLoading();
  EXPECT_TRUE(port.Active()) << "opened when loading ends";
}

TEST_F(ComPortTest, DesignModeReadsStoredActiveAndOpensNothing) {
  port.SetDesigning(true);
  port.SetActive(true);
  EXPECT_TRUE(port.Active());
  EXPECT_EQ(Dev().Opens, 0);
  EXPECT_TRUE(port.ModemStatus().Empty());
  port.SetDeviceName("rec://b");  // CheckClosed does nothing in design mode
  EXPECT_EQ(port.DeviceName(), "rec://b");
}

TEST_F(ComPortTest, DeviceNameOnAnOpenPort) {
  port.Open();
  port.SetDeviceName("rec://a");  // the same name: fine
  try {
    port.SetDeviceName("rec://other");
    FAIL() << "expected EComError";
  } catch (const EComError& e) {
    EXPECT_EQ(e.Message, "Can't perform this operation on an open port");
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.Kind, ekOpenPort);
  }
  EXPECT_EQ(port.DeviceName(), "rec://a");
  EXPECT_THROW(port.SetPriorityClass(pcHigh), EComError);
  EXPECT_EQ(port.PriorityClass(), pcDefault);
  EXPECT_THROW(port.SetSynchronizeEvents(false), EComError);
  EXPECT_TRUE(port.SynchronizeEvents());
}

TEST_F(ComPortTest, FailedOpenRaisesThePlatformCodeAndLeavesThePortClosed) {
  Dev().FailOpenWith = 2;
  port.SetPriorityClass(pcNormal);
  const uint32_t before = GetProcessPriorityClass();
  try {
    port.Open();
    FAIL() << "expected EComError";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 2);
    EXPECT_EQ(e.Message, "No such file or directory");
    EXPECT_EQ(e.Kind, ekOther) << "a code without a kind is a failure of no known kind";
  }
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.SavedPriorityClass(), -1);
  EXPECT_EQ(GetProcessPriorityClass(), before);
  EXPECT_EQ(log.Calls, (std::vector<std::string>{"BeforeOpen"}));
}

TEST_F(ComPortTest, FailingSettingDuringOpenReleasesEverything) {
  Dev().FailSetStateWith = 22;
  EXPECT_THROW(port.Open(), EComError);
  EXPECT_FALSE(port.Active());
  EXPECT_FALSE(Dev().IsOpen);
}

TEST_F(ComPortTest, ClosedPortOperationsFailOrDoNothing) {
  for (auto op : {+[](TComPort& p) { p.ReadByte(); }, +[](TComPort& p) { p.WriteByte(1); },
                  +[](TComPort& p) { p.ModemStatus(); }}) {
    try {
      op(port);
      ADD_FAILURE() << "expected EComError";
    } catch (const EComError& e) {
      EXPECT_EQ(e.Message, "Can't perform this operation on a closed port");
      EXPECT_EQ(e.ErrorCode, 0);
      EXPECT_EQ(e.Kind, ekNotOpen);
    }
  }
  try {
    port.InputCount();
    ADD_FAILURE() << "expected EComError";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, InvalidHandleStatus().Code) << "the platform's invalid-handle error";
    EXPECT_EQ(e.Message, InvalidHandleStatus().Text);
    EXPECT_EQ(e.Kind, ekNotOpen);
  }
  EXPECT_NO_THROW(port.PurgeInput());
  EXPECT_NO_THROW(port.PurgeOutput());
}

TEST_F(ComPortTest, OnErrorSeesEveryFailureAndMayAbortSilently) {
  port.OnError = TComErrorEvent::Of<&TEventLog::Error>(&log);
  EXPECT_THROW(port.WriteByte(1), EComError);
  log.AbortOnError = true;
  EXPECT_THROW(port.WriteByte(1), EAbort);
  EXPECT_EQ(log.Calls, (std::vector<std::string>{"OnError Can't perform this operation on a closed port",
                                                 "OnError Can't perform this operation on a closed port"}));
}

TEST_F(ComPortTest, AnAssignmentOfTheStoredValueMakesNoDeviceUpdate) {
  port.FlowControl().SetDTR(dcDisable);
  port.Open();
  ASSERT_EQ(Dev().StateWrites.size(), 1u);
  port.FlowControl().SetDTR(dcDisable);
  port.SetBaudRate(brDefault);
  port.Characters().SetXOn(0x11);
  port.Timeouts().SetReadConstant(0);
  port.BufferSizes().SetInput(4096);
  EXPECT_EQ(Dev().StateWrites.size(), 1u);
  EXPECT_EQ(Dev().TimeoutWrites.size(), 1u);
  EXPECT_EQ(Dev().QueueSizes.size(), 1u);
}

TEST_F(ComPortTest, EachGroupIsReappliedAloneOnAnOpenPort) {
  port.Open();
  port.Timeouts().SetReadConstant(250);
  EXPECT_EQ(Dev().TimeoutWrites.size(), 2u);
  EXPECT_EQ(Dev().Timeouts.ReadTotalTimeoutConstant, 250u);
  EXPECT_EQ(Dev().StateWrites.size(), 1u);
  port.BufferSizes().SetOutput(512);
  EXPECT_EQ(Dev().QueueSizes.back(), (std::pair<uint32_t, uint32_t>{4096, 512}));
  EXPECT_EQ(Dev().StateWrites.size(), 1u);
  port.Characters().SetEof(0x1A);
  EXPECT_EQ(Dev().StateWrites.size(), 2u);
  EXPECT_EQ(Dev().State.EofChar, 0x1A);
  EXPECT_EQ(Dev().TimeoutWrites.size(), 2u);
}

TEST_F(ComPortTest, ModemLineChangesAreOneUpdateEachInAssignmentOrder) {
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  port.Open();
  ASSERT_EQ(Dev().StateWrites.size(), 1u);
  EXPECT_EQ(Dev().State.Flags & 0x3030, 0x1000u) << "DTR off, RTS on in the opening update";
  port.FlowControl().SetDTR(dcEnable);
  port.FlowControl().SetRTS(rcDisable);
  ASSERT_EQ(Dev().StateWrites.size(), 3u);
  EXPECT_EQ(Dev().StateWrites[1].Flags & 0x3030, 0x1010u) << "DTR on, RTS on";
  EXPECT_EQ(Dev().StateWrites[2].Flags & 0x3030, 0x0010u) << "DTR on, RTS off";
}

TEST_F(ComPortTest, ReadOfLengthZeroStartsNothingButCallsItsEvents) {
  port.BeforeRead = TReadWriteEvent::Of<&TEventLog::BeforeRead>(&log);
  port.AfterRead = TReadWriteEvent::Of<&TEventLog::AfterRead>(&log);
  port.Open();
  log.Calls.clear();
  char buf[1];
  port.Read(buf, 0, true);
  EXPECT_EQ(log.Calls, (std::vector<std::string>{"BeforeRead 0 wait", "AfterRead 0"}));
  EXPECT_EQ(port.PendingReadLength(), 0);
}

TEST_F(ComPortTest, ReadThatEndsShortRaisesTimeoutWithCodeZero) {
  port.Open();
  try {
    port.ReadByte();
    FAIL() << "expected EComError";
  } catch (const EComError& e) {
    EXPECT_EQ(e.Message, "Timeout");
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.Kind, ekTimeout);
  }
  EXPECT_TRUE(port.Active()) << "a failed read leaves the port open";
}

TEST_F(ComPortTest, LineErrorsReachOnLineErrorThroughInputCount) {
  port.SetOnLineError(TLineErrorEvent::Of<&TEventLog::LineError>(&log));
  port.Open();
  log.Calls.clear();
  Dev().InQueue = 3;
  Dev().ErrorWord = CE_FRAME | CE_OVERRUN;
  EXPECT_EQ(port.InputCount(), 3u);
  EXPECT_EQ(port.InputCount(), 3u);  // the word was cleared by the first call
  EXPECT_EQ(log.Calls, (std::vector<std::string>{
                           "LineError " + std::to_string(TLineErrors{leFrame, leOverrun}.Bits)}));
}

TEST_F(ComPortTest, ModemStatusFromTheDevice) {
  port.Open();
  Dev().ModemWord = MS_DSR_ON | MS_CTS_ON;
  EXPECT_EQ(port.ModemStatus(), (TModemStatus{msCTS, msDSR}));
}

TEST_F(ComPortTest, HandlerOfTheSameRoutineOnAnotherObjectStoresNothing) {
  TEventLog other;
  port.SetDeviceEvent(TCustomComPort::deRxChar, TNotifyEvent::Of<&TEventLog::Notify>(&log));
  port.SetDeviceEvent(TCustomComPort::deRxChar, TNotifyEvent::Of<&TEventLog::Notify>(&other));
  EXPECT_EQ(port.DeviceEvent(TCustomComPort::deRxChar).Data, &log);
  port.Open();
  EXPECT_EQ(Dev().EventMasks, (std::vector<uint32_t>{EV_RXCHAR}));
  port.SetDeviceEvent(TCustomComPort::deRxChar, nullptr);
  EXPECT_EQ(Dev().EventMasks.back(), 0u);
}

TEST_F(ComPortTest, DestructionClosesWithEvents) {
  {
    TComPort p(nullptr);
    p.SetDeviceName("rec://a");
    p.AfterClose = TOpenCloseEvent::Of<&TEventLog::AfterClose>(&log);
    p.Open();
  }
  EXPECT_FALSE(Dev().IsOpen);
  EXPECT_EQ(log.Calls, (std::vector<std::string>{"AfterClose"}));
}

// The platform's events: one per direction, signalled while no operation
// of it is in progress.
TEST(ComPortPlatform, EventsResetManuallyOrByTheWait) {
  TDevStatus st;
  auto manual = CreateComEvent(true, true, st);
  ASSERT_TRUE(st.Ok());
  EXPECT_TRUE(manual->IsSignalled());
  EXPECT_TRUE(manual->IsSignalled());
  manual->Reset();
  EXPECT_FALSE(manual->IsSignalled());
  auto automatic = CreateComEvent(false, false, st);
  ASSERT_TRUE(st.Ok());
  EXPECT_FALSE(automatic->IsSignalled());
  automatic->Set();
  EXPECT_TRUE(automatic->IsSignalled());
  EXPECT_FALSE(automatic->IsSignalled());
}

}  // namespace
}  // namespace qv
