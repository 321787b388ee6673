#include "opc/CommandLine.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

CommandLine Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

}  // namespace

TEST(CommandLine, TokensEndTheScanAtTheFirstAction) {
    EXPECT_EQ(Parse({"/RegServer"}).action, CommandLine::Action::Register);
    EXPECT_EQ(Parse({"-unregserver"}).action, CommandLine::Action::Unregister);
    EXPECT_EQ(Parse({"/?"}).action, CommandLine::Action::Usage);
    EXPECT_EQ(Parse({"-RegServer -UnregServer"}).action, CommandLine::Action::Register);
    EXPECT_EQ(Parse({"/UnRegServer", "/RegServer"}).action, CommandLine::Action::Unregister);
    // A token after the action is not read.
    const CommandLine after = Parse({"/RegServer", "/Max"});
    EXPECT_FALSE(after.maximized);
    EXPECT_EQ(Parse({"/Register"}).action, CommandLine::Action::Run);
    EXPECT_EQ(Parse({}).action, CommandLine::Action::Run);
}

TEST(CommandLine, MinWinsOverMaxAndEmbeddingShowsMinimised) {
    const CommandLine both = Parse({"-max", "/MIN"});
    EXPECT_TRUE(both.ShowMinimized());
    EXPECT_FALSE(both.ShowMaximized());
    EXPECT_TRUE(Parse({"/Max"}).ShowMaximized());
    // Tokens are cut at spaces too.
    EXPECT_TRUE(Parse({"x min"}).minimized);

    const CommandLine embedded = Parse({"-Embedding"});
    EXPECT_TRUE(embedded.embedding);
    EXPECT_TRUE(embedded.ShowMinimized());
    EXPECT_FALSE(embedded.showSplash);
    EXPECT_TRUE(Parse({"/Max"}).showSplash);
}

TEST(CommandLine, FileNameAndSwitchesOfThisPlatform) {
    const CommandLine line = Parse({"--headless", "--poll", "plant.psf", "other.psf"});
    EXPECT_TRUE(line.headless);
    EXPECT_TRUE(line.poll);
    EXPECT_EQ(line.fileName, "plant.psf");
    EXPECT_EQ(line.action, CommandLine::Action::Run);
    EXPECT_FALSE(Parse({"-"}).headless);
    EXPECT_EQ(Parse({"-", "--", "x.psf"}).fileName, "x.psf");
}

TEST(CommandLine, PathsAreNotCutIntoTokens) {
    // A folder called "UnregServer" or "min" on the way to the file is part of the name.
    const CommandLine line = Parse({"--headless", "/srv/UnregServer/min/plant.psf"});
    EXPECT_EQ(line.action, CommandLine::Action::Run);
    EXPECT_FALSE(line.minimized);
    EXPECT_EQ(line.fileName, "/srv/UnregServer/min/plant.psf");

    TempDir dir;
    const std::string file = dir.File("-Max.psf");
    std::ofstream(file) << "x";
    const CommandLine existing = Parse({file});
    EXPECT_FALSE(existing.maximized);
    EXPECT_EQ(existing.fileName, file);
}

TEST(CommandLine, TheUaSwitchesTakeTheirValueAndItIsNeverTheConfigurationFile) {
    const CommandLine spaced = Parse({"--headless", "--ua-port", "4841", "--ua-listen", "0.0.0.0", "plant.psf"});
    EXPECT_EQ(spaced.uaPort, 4841);
    EXPECT_EQ(spaced.uaListen, "0.0.0.0");
    EXPECT_EQ(spaced.fileName, "plant.psf");
    EXPECT_TRUE(spaced.invalid.empty());
    const CommandLine joined = Parse({"--ua-port=0", "plant.psf"});
    EXPECT_EQ(joined.uaPort, 0);
    EXPECT_EQ(joined.fileName, "plant.psf");
    const CommandLine none = Parse({"plant.psf"});
    EXPECT_FALSE(none.uaPort.has_value());
    EXPECT_FALSE(none.uaListen.has_value());

    // A value that is no port, and a switch at the end without its value,
    // are reported rather than taken as a default or as a file.
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--ua-port", "65536"}, {"--ua-port", "-1"}, {"--ua-port", "48x"}, {"--ua-port=", "a.psf"}, {"--ua-port"},
             {"--ua-listen"}, {"--ua-listen="}}) {
        const CommandLine line = Parse(bad);
        EXPECT_FALSE(line.invalid.empty()) << bad[0];
        EXPECT_FALSE(line.uaPort.has_value()) << bad[0];
    }
    EXPECT_EQ(Parse({"--ua-port=65536", "a.psf"}).fileName, "a.psf");

    const CommandLine switches = Parse({"--ua-none", "off", "--ua-anonymous=ON", "a.psf"});
    EXPECT_EQ(switches.uaNone, false);
    EXPECT_EQ(switches.uaAnonymous, true);
    EXPECT_EQ(switches.fileName, "a.psf");
    // The history's file is the switch's value, never the configuration.
    const CommandLine history = Parse({"--history", "/tmp/min/h.db", "a.psf"});
    EXPECT_EQ(history.history, "/tmp/min/h.db");
    EXPECT_EQ(history.fileName, "a.psf");
    EXPECT_FALSE(history.minimized);
    EXPECT_EQ(Parse({"--history=off"}).history, "off");
    EXPECT_FALSE(Parse({"--history"}).invalid.empty());
    for (const auto& bad : std::vector<std::vector<std::string>>{{"--ua-none", "no"}, {"--ua-anonymous"}}) {
        const CommandLine line = Parse(bad);
        EXPECT_FALSE(line.invalid.empty()) << bad[0];
        EXPECT_FALSE(line.uaNone.has_value() || line.uaAnonymous.has_value()) << bad[0];
    }
}
