#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/child_process.h"

namespace {

// The tool with arguments; bounded, since a hang is one of the faults to catch.
ChildResult RunTool(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv = {PLIST_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunChild(argv, 10000);
}

std::string DataFile(const char *name) {
    return std::string(PLIST_TEST_DATA_DIR) + "/" + name;
}

TEST(PlistTool, PrintsTheStreamSetupBody) {
    ChildResult run = RunTool({DataFile("stream_setup.bplist")});
    EXPECT_EQ(run.status, 0) << run.err;
    std::string expected = "Dictionary {\n"
                           "  latencyMs  =>  90,\n"
                           "  deviceID  =>  0x60C54748E222,\n"
                           "  fpsInfo  =>  Array (\n";
    for (const char *s : {"SubS", "B4En", "EnDp", "IdEn", "IdDp", "EQDp", "QueF", "Sent"})
        expected += std::string("    ") + s + ",\n";
    expected += "  ),\n  timestampInfo  =>  Array (\n";
    for (const char *s : {"SubSu", "BePxT", "AfPxT", "BeFEn", "EmEnc", "QueFr", "SndFr"})
        expected += std::string("    ") + s + ",\n";
    expected += "  ),\n"
                "  sessionId  =>  691484636,\n"
                "  version  =>  120.2,\n"
                "}\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");
}

TEST(PlistTool, ReadsXmlAndJsonText) {
    char path[] = "/tmp/ostrel-plist-xml-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string xml = "<plist><dict><key>a &amp; b</key><integer>5</integer></dict></plist>";
    ASSERT_EQ(write(fd, xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
    close(fd);
    ChildResult run = RunTool({path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Dictionary {\n  a & b  =>  5,\n}\n");
    fd = open(path, O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    std::string json = "[true, -4]";
    ASSERT_EQ(write(fd, json.data(), json.size()), static_cast<ssize_t>(json.size()));
    close(fd);
    run = RunTool({path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Array (\n  true,\n  -4,\n)\n");
    unlink(path);
}

TEST(PlistTool, FailsWithAReasonOnBadInput) {
    ChildResult garbage = RunTool({DataFile("not_a_plist.txt")});
    EXPECT_EQ(garbage.status, 1);
    EXPECT_EQ(garbage.out, "");
    EXPECT_NE(garbage.err.find("no readable property list"), std::string::npos) << garbage.err;
    ChildResult missing = RunTool({"/nonexistent/file.plist"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
    ChildResult directory = RunTool({"/tmp"});
    EXPECT_EQ(directory.status, 1);
    ChildResult empty = RunTool({"/dev/null"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("empty"), std::string::npos) << empty.err;
    ChildResult usage = RunTool({});
    EXPECT_EQ(usage.status, 1);
    EXPECT_NE(usage.err.find("usage"), std::string::npos);
}

} // namespace
