// The softphone program's path from the sExePath folder and the sExeFileName file.
#include <gtest/gtest.h>

#include "commands/program/ProgramPath.h"

namespace quvo {
namespace {

TEST(JoinProgramPath, AddsAForwardSlashOnlyWhenTheFolderHasNoSeparator) {
    EXPECT_EQ(JoinProgramPath("C:\\Apps\\Phone\\", "phone.exe"), "C:\\Apps\\Phone\\phone.exe");
    EXPECT_EQ(JoinProgramPath("C:\\Apps\\Phone", "phone.exe"), "C:\\Apps\\Phone/phone.exe");
    EXPECT_EQ(JoinProgramPath("/opt/quvo/", "quvo"), "/opt/quvo/quvo");
    EXPECT_EQ(JoinProgramPath("/opt/quvo", "quvo"), "/opt/quvo/quvo");
    EXPECT_EQ(JoinProgramPath("/", "quvo"), "/quvo");
}

TEST(JoinProgramPath, TakesBothPartsVerbatim) {
    // Only the folder's last character matters; blanks and separators elsewhere stay.
    EXPECT_EQ(JoinProgramPath("  /opt/my phone", " quvo "), "  /opt/my phone/ quvo ");
    EXPECT_EQ(JoinProgramPath("/opt//", "/quvo"), "/opt///quvo");
    EXPECT_EQ(JoinProgramPath("/opt/quvo/ ", "quvo"), "/opt/quvo/ /quvo");
    EXPECT_EQ(JoinProgramPath("", "quvo"), "/quvo");
}

}  // namespace
}  // namespace quvo
