// qvpack run as the production floor runs it: a real process on real files.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "firmware/Payload.h"
#include "tests/firmware/FileFixture.h"

#ifdef QVPACK_PATH

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::GetU32At;
using test::MakePe;
using test::Pattern;
using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct TRun {
  int Exit = -1;
  std::string Out;
  std::string Err;
};

// The scratch area: inputs in in/, the output in out/, the captured streams
// apart in logs/, so that out/ shows exactly what the tool left behind.
class QvpackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Dir / "in");
    fs::create_directories(Dir / "out");
    fs::create_directories(Dir / "logs");
    Program = (Dir / "in" / "qvtune").string();
    fs::copy_file(QVPACK_PATH, Program);  // a real, executable ELF program file
    for (size_t k = 0; k < 5; ++k) {
      Inputs[k] = (Dir / "in" / ("input" + std::to_string(k + 1))).string();
      Contents[k] = Pattern(100 + 37 * k, static_cast<uint8_t>(k + 1));
      WriteFile(Inputs[k], Contents[k]);
    }
    Out = (Dir / "out" / "packed").string();
  }

  std::vector<std::string> Args() const {
    std::vector<std::string> args = {"--program", Program, "--out", Out, "--caption", Caption};
    for (size_t k = 0; k < 5; ++k) {
      args.push_back("--input" + std::to_string(k + 1));
      args.push_back(Inputs[k]);
    }
    return args;
  }

  TRun Run(const std::string& exe, const std::vector<std::string>& args) const {
    std::string cmd = Quote(exe);
    for (const auto& a : args) cmd += " " + Quote(a);
    const fs::path out = Dir / "logs" / "stdout";
    const fs::path err = Dir / "logs" / "stderr";
    cmd += " >" + Quote(out.string()) + " 2>" + Quote(err.string()) + " </dev/null";
    TRun run;
    const int status = std::system(cmd.c_str());
    run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Out = ReadFile(out);
    run.Err = ReadFile(err);
    return run;
  }
  TRun Run(const std::vector<std::string>& args) const { return Run(QVPACK_PATH, args); }

  std::set<std::string> OutFolder() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(Dir / "out")) names.insert(e.path().filename().string());
    return names;
  }

  std::string Payload(uint8_t flags) const {
    std::string payload;
    std::string error;
    EXPECT_TRUE(BuildPayload(Caption, {Contents[0], Contents[1], Contents[2], Contents[3], Contents[4]}, flags, payload,
                             error));
    return payload;
  }

  TTempDir Dir;
  std::string Program;
  std::string Caption = "Quorvantis Pro fine-tuning tool V2.1";
  std::array<std::string, 5> Inputs;
  std::array<std::string, 5> Contents;
  std::string Out;
};

TEST_F(QvpackTest, PacksTheInputsInOrderAndKeepsTheProgramRunnable) {
  const TRun run = Run(Args());
  ASSERT_EQ(run.Exit, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(OutFolder(), std::set<std::string>{"packed"});

  TPayload payload;
  ASSERT_EQ(ReadProgramPayload(Out, payload), prFound);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload.Data.get()), static_cast<size_t>(payload.Size)),
            Payload(0));
  EXPECT_EQ(PayloadCaption(payload.Data.get(), payload.Size), Caption);
  const std::string program = ReadFile(Program);
  EXPECT_EQ(ReadFile(Out).substr(0, program.size()), program);

  EXPECT_NE(fs::status(Out).permissions() & fs::perms::owner_exec, fs::perms::none);
  const TRun packed = Run(Out, {"--help"});
  EXPECT_EQ(packed.Exit, 0) << "the packed program no longer runs";
  EXPECT_NE(packed.Out.find("--input3 F   Server firmware"), std::string::npos);
}

TEST_F(QvpackTest, FlagOptionsSetTheirBits) {
  struct TCase {
    std::vector<std::string> Options;
    uint8_t Flags;
  };
  const std::vector<TCase> cases = {
      {{}, 0x00},
      {{"--golden-handheld"}, 0x02},
      {{"--analysis-checked"}, 0x04},
      {{"--analysis-shown"}, 0x08},
      {{"--analysis-shown", "--golden-handheld", "--analysis-checked"}, 0x0E},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.Options));
    fs::remove(Out);
    std::vector<std::string> args = Args();
    args.insert(args.begin() + 2, c.Options.begin(), c.Options.end());
    const TRun run = Run(args);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    TPayload payload;
    ASSERT_EQ(ReadProgramPayload(Out, payload), prFound);
    EXPECT_EQ(PayloadFlags(payload.Data.get(), payload.Size), c.Flags);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload.Data.get()), static_cast<size_t>(payload.Size)),
              Payload(c.Flags));
  }
}

TEST_F(QvpackTest, PePlainBuildGetsItsHeaderFieldAndKeepsItsMode) {
  const uint32_t h = 0x80;
  const std::string pe = MakePe(h, 0x600, 0);
  WriteFile(Program, pe);
  fs::permissions(Program, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);

  std::vector<std::string> args = Args();
  args.push_back("--caption=ignored");  // a second caption is a usage error
  EXPECT_EQ(Run(args).Exit, 2);
  EXPECT_EQ(OutFolder(), std::set<std::string>{});

  // The value may also follow an '='.
  args = Args();
  args[4] = "--caption=" + Caption;
  args.erase(args.begin() + 5);
  const TRun run = Run(args);
  ASSERT_EQ(run.Exit, 0) << run.Err;
  const std::string packed = ReadFile(Out);
  EXPECT_EQ(GetU32At(packed, h + 68), pe.size());
  EXPECT_EQ(packed.substr(pe.size()), Payload(0));
  EXPECT_EQ(fs::status(Out).permissions() & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec),
            fs::perms::none);
}

TEST_F(QvpackTest, ReplacesAnExistingOutputWhole) {
  WriteFile(Out, std::string(1 << 20, 'x'));  // longer than the result: nothing of it may remain
  const TRun run = Run(Args());
  ASSERT_EQ(run.Exit, 0) << run.Err;
  TPayload payload;
  EXPECT_EQ(ReadProgramPayload(Out, payload), prFound);
  EXPECT_EQ(ReadFile(Out).size(), ReadFile(Program).size() + Payload(0).size() + kTrailerSize);
  EXPECT_EQ(OutFolder(), std::set<std::string>{"packed"});
}

TEST_F(QvpackTest, FailuresNameTheProblemAndLeaveNoOutput) {
  // Built once here, then used as a program file that is already packed.
  const std::string packedProgram = (Dir / "in" / "packed-before").string();
  {
    std::vector<std::string> args = Args();
    args[3] = packedProgram;
    ASSERT_EQ(Run(args).Exit, 0);
  }
  fs::create_directory(Dir / "in" / "folder");
  const std::string missing = (Dir / "in" / "missing.hex").string();

  struct TCase {
    const char* Name;
    std::vector<std::pair<size_t, std::string>> Replace;  // argument index, new value
    std::vector<size_t> Drop;                             // argument indexes, from the back
    int Exit;
    std::vector<std::string> Messages;
  };
  // Argument indexes in Args(): 1 program, 3 out, 5 caption, 7 + 2k input k + 1.
  const std::vector<TCase> cases = {
      {"server firmware missing", {{11, missing}}, {}, 1, {"Server firmware file \"" + missing + "\""}},
      {"two inputs missing",
       {{7, missing}, {15, missing + "5"}},
       {},
       1,
       {"RF modem firmware file \"" + missing + "\"", "Server test firmware file \"" + missing + "5\""}},
      {"input is a folder", {{9, (Dir / "in" / "folder").string()}}, {}, 1, {"cannot read Quorvantis firmware"}},
      {"program missing", {{1, missing}}, {}, 1, {"cannot read program file \"" + missing + "\""}},
      {"program already packed", {{1, packedProgram}}, {}, 1, {"already carries a payload"}},
      {"output folder missing", {{3, (Dir / "out" / "no" / "packed").string()}}, {}, 1, {"cannot write"}},
      {"input5 not given", {}, {15, 14}, 2, {"missing --input5"}},
      {"unknown option", {{14, "--input6"}}, {}, 2, {"unknown argument '--input6'"}},
      {"option without value", {}, {15}, 2, {"'--input5' needs a value"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> args = Args();
    for (const auto& [at, value] : c.Replace) args[at] = value;
    for (size_t at : c.Drop) args.erase(args.begin() + static_cast<std::ptrdiff_t>(at));
    const TRun run = Run(args);
    EXPECT_EQ(run.Exit, c.Exit) << run.Err;
    for (const auto& m : c.Messages) EXPECT_NE(run.Err.find(m), std::string::npos) << run.Err;
    EXPECT_EQ(OutFolder(), std::set<std::string>{});
    EXPECT_FALSE(fs::exists(Dir / "out" / "no"));
  }

  // The rename fails over a folder of that name: the half-way file goes too.
  fs::create_directories(Dir / "out" / "taken" / "inside");
  {
    std::vector<std::string> args = Args();
    args[3] = (Dir / "out" / "taken").string();
    const TRun run = Run(args);
    EXPECT_EQ(run.Exit, 1);
    EXPECT_NE(run.Err.find("cannot write"), std::string::npos) << run.Err;
    EXPECT_EQ(OutFolder(), std::set<std::string>{"taken"});
  }
  fs::remove_all(Dir / "out" / "taken");

  // A failed run leaves an earlier output as it was.
  WriteFile(Out, "earlier build");
  std::vector<std::string> args = Args();
  args[11] = missing;
  EXPECT_EQ(Run(args).Exit, 1);
  EXPECT_EQ(ReadFile(Out), "earlier build");
  EXPECT_EQ(OutFolder(), std::set<std::string>{"packed"});
}

}  // namespace
}  // namespace qv

#endif  // QVPACK_PATH
