// The settings model as it reaches the device: each property through its
// table into the device control block, Default values keeping what the
// device had, and the status words mapped back into sets.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "serial/ComPort.h"
#include "tests/support/RecordingDevice.h"

namespace qv {
namespace {

// A device whose control block has every field and bit set to something
// the port would never choose by itself, so that "kept" is visible.
TDCB BusyDevice() {
  TDCB d;
  d.BaudRate = 4321;
  d.Flags = 0x7FFF;
  d.XonLim = 111;
  d.XoffLim = 222;
  d.ByteSize = 7;
  d.Parity = 2;
  d.StopBits = 2;
  d.XonChar = 'a';
  d.XoffChar = 'b';
  d.ErrorChar = 'c';
  d.EofChar = 'd';
  d.EvtChar = 'e';
  return d;
}

class MappingTest : public ::testing::Test {
protected:
  TDCB OpenWith(const std::function<void(TComPort&)>& setup, TDCB before = BusyDevice()) {
    devices.Devices["m"].State = before;
    TComPort port(nullptr);
    port.SetDeviceName("rec://m");
    setup(port);
    port.Open();
    EXPECT_EQ(devices.Devices["m"].StateWrites.size(), 1u);
    return devices.Devices["m"].State;
  }
  test::TRecordingScope devices;
};

TEST_F(MappingTest, BaudRatesGiveTheNumberInTheirName) {
  const struct {
    TBaudRate Rate;
    uint32_t Bps;
  } cases[] = {{br50, 50},         {br75, 75},         {br110, 110},       {br150, 150},       {br300, 300},
               {br600, 600},       {br1200, 1200},     {br1800, 1800},     {br2000, 2000},     {br2400, 2400},
               {br3600, 3600},     {br4800, 4800},     {br7200, 7200},     {br9600, 9600},     {br10400, 10400},
               {br14400, 14400},   {br15625, 15625},   {br19200, 19200},   {br28800, 28800},   {br38400, 38400},
               {br56000, 56000},   {br57600, 57600},   {br115200, 115200}, {br128000, 128000}, {br256000, 256000},
               {brDefault, 4321}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Bps);
    devices.Devices["m"] = {};
    EXPECT_EQ(OpenWith([&](TComPort& p) { p.SetBaudRate(c.Rate); }).BaudRate, c.Bps);
  }
}

TEST_F(MappingTest, CustomBaudRateReachesTheDevice) {
  EXPECT_EQ(OpenWith([](TComPort& p) { p.SetCustomBaudRate(31250); }).BaudRate, 31250u);
}

TEST_F(MappingTest, CharacterFormat) {
  const struct {
    TDataBits Bits;
    TParity Parity;
    TStopBits Stop;
    uint8_t ByteSize, DcbParity, DcbStop;
  } cases[] = {
      {db4, paNone, sb1, 4, 0, 0},     {db5, paOdd, sb1_5, 5, 1, 1},  {db6, paEven, sb2, 6, 2, 2},
      {db7, paMark, sb1, 7, 3, 0},     {db8, paSpace, sb2, 8, 4, 2},  {dbDefault, paDefault, sbDefault, 7, 2, 2},
      {db8, paDefault, sb1, 8, 2, 0},  {dbDefault, paNone, sbDefault, 7, 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.Bits) << "/" << int(c.Parity) << "/" << int(c.Stop));
    devices.Devices["m"] = {};
    TDCB d = OpenWith([&](TComPort& p) {
      p.SetDataBits(c.Bits);
      p.SetParity(c.Parity);
      p.SetStopBits(c.Stop);
    });
    EXPECT_EQ(d.ByteSize, c.ByteSize);
    EXPECT_EQ(d.Parity, c.DcbParity);
    EXPECT_EQ(d.StopBits, c.DcbStop);
  }
}

TEST_F(MappingTest, FlowControlFieldsReplaceOnlyTheirMask) {
  const struct {
    TDTRControl Dtr;
    TRTSControl Rts;
    TXOnXOffControl X;
    uint32_t Before, After;
  } cases[] = {
      // Every option bit set before; options empty clears them (0x4CCE),
      // which leaves only the untouched bits 0 and the three fields.
      {dcDisable, rcDisable, xcDisable, 0xFFFF, 0x0001 | 0x8000},
      {dcEnable, rcEnable, xcInput, 0x0000, 0x0010 | 0x1000 | 0x0200},
      {dcHandshake, rcHandshake, xcOutput, 0x0000, 0x0020 | 0x2000 | 0x0100},
      {dcDisable, rcToggle, xcInputOutput, 0x0030, 0x3000 | 0x0300},
      {dcDefault, rcDefault, xcDefault, 0x0020 | 0x3000 | 0x0100, 0x0020 | 0x3000 | 0x0100},
      {dcDefault, rcEnable, xcDefault, 0x0010 | 0x0001, 0x0010 | 0x1000 | 0x0001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.Before);
    devices.Devices["m"] = {};
    TDCB before = BusyDevice();
    before.Flags = c.Before;
    TDCB d = OpenWith(
        [&](TComPort& p) {
          p.FlowControl().SetDTR(c.Dtr);
          p.FlowControl().SetRTS(c.Rts);
          p.FlowControl().SetXOnXOff(c.X);
        },
        before);
    EXPECT_EQ(d.Flags, c.After);
  }
}

TEST_F(MappingTest, EachOptionSetsItsBitAndAbsentOptionsClearTheirs) {
  const struct {
    TOption Option;
    uint32_t Bit;
  } cases[] = {{opCheckParity, 0x0002},      {opOutputCTSFlow, 0x0004}, {opOutputDSRFlow, 0x0008},
               {opDSRSensitivity, 0x0040},   {opTXContinueOnXOff, 0x0080}, {opUseErrorChar, 0x0400},
               {opDiscardNullBytes, 0x0800}, {opAbortOnError, 0x4000}};
  const uint32_t allOptions = 0x4CCE;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Bit);
    devices.Devices["m"] = {};
    TDCB before = BusyDevice();
    before.Flags = 0xFFFF;
    TDCB d = OpenWith([&](TComPort& p) { p.SetOptions({c.Option}); }, before);
    EXPECT_EQ(d.Flags & allOptions, c.Bit);
    EXPECT_EQ(d.Flags & ~allOptions, 0xFFFFu & ~allOptions) << "non-option bits are kept";
  }
}

TEST_F(MappingTest, CharactersAndLimitsAreAlwaysWritten) {
  TDCB d = OpenWith([](TComPort&) {});
  EXPECT_EQ(d.XonChar, 0x11);
  EXPECT_EQ(d.XoffChar, 0x13);
  EXPECT_EQ(d.ErrorChar, 0);
  EXPECT_EQ(d.EofChar, 0);
  EXPECT_EQ(d.EvtChar, 0);
  EXPECT_EQ(d.XonLim, 0);
  EXPECT_EQ(d.XoffLim, 0);
  // Everything Default keeps rate, format and the flow-control fields.
  EXPECT_EQ(d.BaudRate, 4321u);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.Flags & 0x3330, 0x7FFFu & 0x3330);

  devices.Devices["m"] = {};
  d = OpenWith([](TComPort& p) {
    p.Characters().SetXOn('x');
    p.Characters().SetEvent('\n');
    p.FlowControl().SetXOnLimit(512);
    p.FlowControl().SetXOffLimit(1024);
  });
  EXPECT_EQ(d.XonChar, 'x');
  EXPECT_EQ(d.EvtChar, '\n');
  EXPECT_EQ(d.XonLim, 512);
  EXPECT_EQ(d.XoffLim, 1024);
}

TEST_F(MappingTest, TheMainWindowsPortsGiveTheirLineSettingsInOneUpdate) {
  TDCB d = OpenWith([](TComPort& p) {
    p.SetBaudRate(br9600);
    p.SetDataBits(db8);
    p.SetParity(paNone);
    p.SetStopBits(sb1);
    p.FlowControl().SetDTR(dcDisable);
    p.FlowControl().SetRTS(rcEnable);
    p.FlowControl().SetXOnXOff(xcDisable);
  });
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, 0);
  EXPECT_EQ(d.Flags & 0x0030, 0u) << "DTR off";
  EXPECT_EQ(d.Flags & 0x3000, 0x1000u) << "RTS on";
  EXPECT_EQ(d.Flags & 0x0300, 0u);
  EXPECT_EQ(d.Flags & 0x4CCE, 0u);
}

TEST(StatusWordTest, ModemWordBitsBecomeTheirValues) {
  EXPECT_EQ(ModemStatusFromWord(0), TModemStatus{});
  EXPECT_EQ(ModemStatusFromWord(0x10), (TModemStatus{msCTS}));
  EXPECT_EQ(ModemStatusFromWord(0x20), (TModemStatus{msDSR}));
  EXPECT_EQ(ModemStatusFromWord(0x40), (TModemStatus{msRing}));
  EXPECT_EQ(ModemStatusFromWord(0x80), (TModemStatus{msRLSD}));
  EXPECT_EQ(ModemStatusFromWord(0xFFF0), (TModemStatus{msCTS, msDSR, msRing, msRLSD}));
}

TEST(StatusWordTest, ErrorWordBitsBecomeLineErrors) {
  const struct {
    uint32_t Bit;
    TLineError Error;
  } cases[] = {{0x0010, leBreak},    {0x0800, leDeviceNotSelected}, {0x0008, leFrame},
               {0x0400, leIO},       {0x8000, leMode},              {0x1000, leOutOfPaper},
               {0x0002, leOverrun},  {0x0200, leDeviceTimeOut},     {0x0001, leRxOverflow},
               {0x0004, leParity},   {0x0100, leTxFull}};
  uint32_t all = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(LineErrorsFromWord(c.Bit), TLineErrors{c.Error}) << c.Bit;
    all |= c.Bit;
  }
  EXPECT_EQ(LineErrorsFromWord(all).Bits, (1u << (leTxFull + 1)) - 1);
  EXPECT_TRUE(LineErrorsFromWord(~all & 0xFFFF).Empty()) << "bits without a meaning are dropped";
}

}  // namespace
}  // namespace qv
