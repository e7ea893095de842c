// The Linux readers on captured files.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "host/proc_files.h"

namespace {

std::string sample(const std::string& name) {
    std::ifstream in(std::string(TVX_LINUX_SAMPLES) + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_FALSE(text.str().empty()) << name;
    return text.str();
}

TEST(LinuxSources, ProcStatInTheWindowsShape) {
    CpuTimes t;
    // user 76911 nice 0 system 12639 idle 11583 iowait 539 irq 0 softirq 135 steal 635, at 100 Hz
    ASSERT_TRUE(parseProcStat(sample("proc-stat-debian12"), 100, t));
    EXPECT_EQ(t.idle, (11583u + 539u) * 100000ull);
    EXPECT_EQ(t.user, 76911u * 100000ull);
    EXPECT_EQ(t.kernel, (12639u + 135u + 635u + 11583u + 539u) * 100000ull);
    // Older kernels give four fields; the per-CPU lines are not the machine's.
    ASSERT_TRUE(parseProcStat(sample("proc-stat-short-kernel"), 250, t));
    EXPECT_EQ(t.kernel, (12555u + 11583u) * 40000ull);
    EXPECT_FALSE(parseProcStat("cpu0 1 2 3 4\n", 100, t));
    EXPECT_FALSE(parseProcStat("cpu 1 2 3\n", 100, t));
    EXPECT_FALSE(parseProcStat("cpu 1 2 3 4\n", 0, t));
}

TEST(LinuxSources, OsReleaseVariants) {
    const struct {
        const char* file;
        const char* name;
        const char* version;
    } cases[] = {
        {"os-release-debian12", "Debian GNU/Linux 12 (bookworm)", "12"},
        {"os-release-quoting", "Thin OS", "2024.1 LTS"},
        {"os-release-escapes", "Zed \"Edge\" Linux $5 \\ x", ""},
    };
    for (const auto& c : cases) {
        const OsRelease os = parseOsRelease(sample(c.file));
        EXPECT_EQ(os.prettyName, c.name) << c.file;
        EXPECT_EQ(os.versionId, c.version) << c.file;
    }
}

}  // namespace
