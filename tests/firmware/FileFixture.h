// Scratch files for the payload tests: a private folder removed afterwards,
// whole-file reads and writes, and program files built byte by byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace qv::test {

class TTempDir {
 public:
  TTempDir() {
    std::random_device rd;
    Dir = std::filesystem::temp_directory_path() / ("qvfw-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(Dir);
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  std::filesystem::path operator/(const std::string& name) const { return Dir / name; }
  const std::filesystem::path& Path() const { return Dir; }

 private:
  std::filesystem::path Dir;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string U32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

inline uint32_t GetU32At(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
  return v;
}

// Bytes that differ from position to position, so that an offset off by one
// shows up as different content.
inline std::string Pattern(size_t size, uint8_t seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

// A minimal Windows program file: "MZ", the header offset h at 0x3C, "PE\0\0"
// at h and the payload field at h + 68, as far as they fit in size bytes.
inline std::string MakePe(uint32_t h, size_t size, uint32_t field) {
  std::string s = Pattern(size, 0x11);
  auto put = [&s](size_t at, const std::string& bytes) {
    for (size_t i = 0; i < bytes.size() && at + i < s.size(); ++i) s[at + i] = bytes[i];
  };
  put(0, "MZ");
  put(0x3C, U32(h));
  put(h, std::string("PE\0\0", 4));
  put(h + 68, U32(field));
  return s;
}

// The start of a program file that is not PE (an ELF header's magic).
inline std::string MakeElf(size_t size) {
  std::string s = Pattern(size, 0x33);
  const char magic[] =
      "\x7f"
      "ELF";
  for (size_t i = 0; i < 4 && i < size; ++i) s[i] = magic[i];
  return s;
}

}  // namespace qv::test
