#include "serial/ComDevice.h"

#include <algorithm>

#include <map>
#include <mutex>

#include "serial/PortMap.h"
#if QV_HAVE_RFC2217
#include "serial/rfc2217/Rfc2217Device.h"
#endif

namespace qv {

std::string TrimSystemMessage(std::string text) {
  while (!text.empty()) {
    unsigned char c = static_cast<unsigned char>(text.back());
    if (c < 0x20 || c == 0x7F || c == ' ' || c == '.')
      text.pop_back();
    else
      break;
  }
  return text;
}

namespace {

struct TSchemes {
  // The built-in schemes.
  TSchemes() {
#if QV_HAVE_RFC2217
    Factories[kRfc2217Scheme] = OpenRfc2217Device;
#endif
  }
  std::mutex Mutex;
  std::map<std::string, TComDeviceFactory> Factories;
};

TSchemes& Schemes() {
  static TSchemes schemes;
  return schemes;
}

}  // namespace

void RegisterComDeviceScheme(const std::string& prefix, TComDeviceFactory factory) {
  std::lock_guard<std::mutex> lock(Schemes().Mutex);
  Schemes().Factories[prefix] = std::move(factory);
}

void UnregisterComDeviceScheme(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(Schemes().Mutex);
  Schemes().Factories.erase(prefix);
}

TDevStatus OpenComDevice(const std::string& name, TClock& clock, std::unique_ptr<TComDevice>& device) {
  const std::string target = ResolvePortName(name);
  TComDeviceFactory factory;
  {
    std::lock_guard<std::mutex> lock(Schemes().Mutex);
    size_t best = 0;
    for (const auto& [prefix, f] : Schemes().Factories) {
      if (prefix.size() > best && target.compare(0, prefix.size(), prefix) == 0) {
        best = prefix.size();
        factory = f;
      }
    }
  }
  if (factory) return factory(target, clock, device);
  return OpenPlatformDevice(target, clock, device);
}

bool ReadReturnsAtOnce(const TCommTimeouts& t) {
  return t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
}

namespace {

// The total limit of an operation of n bytes; false when both are 0, which
// means no total limit.
bool TotalTimeout(uint32_t multiplier, uint32_t constant, uint32_t n, TClock::TDuration& limit) {
  if (multiplier == 0 && constant == 0) return false;
  const uint64_t ms = static_cast<uint64_t>(multiplier) * n + constant;
  limit = TClock::TDuration(static_cast<int64_t>(std::min<uint64_t>(ms, uint64_t{1} << 40)) * 1000);
  return true;
}

}  // namespace

TDeadline ReadDeadline(const TCommTimeouts& t, const TOverlapped& ov) {
  TDeadline d;
  TClock::TDuration total{};
  d.Limited = TotalTimeout(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, ov.Length, total);
  d.At = ov.Started + total;
  // The interval runs only once a byte has come.
  if (t.ReadIntervalTimeout != 0 && ov.Transferred > 0) {
    const TClock::TDuration gapEnd = ov.LastByte + TClock::TDuration(int64_t{t.ReadIntervalTimeout} * 1000);
    d.At = d.Limited ? std::min(d.At, gapEnd) : gapEnd;
    d.Limited = true;
  }
  return d;
}

TDeadline WriteDeadline(const TCommTimeouts& t, const TOverlapped& ov) {
  TDeadline d;
  TClock::TDuration total{};
  d.Limited = TotalTimeout(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, ov.Length, total);
  d.At = ov.Started + total;
  return d;
}

}  // namespace qv
