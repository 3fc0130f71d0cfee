#include "console/console_lines.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// Standard output as the journal: each line filed under its own priority,
// also after a line that was left open (a client's empty message prints
// one without its end).
TEST(ConsoleLines, JournalLinesNeverContinueALineOfAnotherKind) {
    char path[] = "/tmp/journal-XXXXXX";
    const int journal = mkstemp(path);
    ASSERT_GE(journal, 0);
    struct stat status {};
    ASSERT_EQ(fstat(journal, &status), 0);
    setenv("JOURNAL_STREAM", (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)).c_str(), 1);
    fflush(stdout);
    const int terminal = dup(STDOUT_FILENO);
    dup2(journal, STDOUT_FILENO);
    consoleOut(LineKind::Chatter, "size of msg is 0");
    consoleOut(LineKind::Warning, "refused a client\n");
    consoleOut(LineKind::Event, "a line ");
    consoleOut(LineKind::Event, "in pieces\n");
    fflush(stdout);
    dup2(terminal, STDOUT_FILENO);
    std::ostringstream written;
    written << std::ifstream(path).rdbuf();
    unlink(path);
    EXPECT_EQ(written.str(), "<7>size of msg is 0\n<4>refused a client\n<6>a line in pieces\n");
}
