// The card scan: scanner.exe as the guard starts it when a storage card is
// inserted ("scanner.exe ExpansionCardInserted \Storage Card").
#pragma once

#include <string>

namespace nxscan {

inline constexpr const char* kCardScanVerb = "ExpansionCardInserted";
// The index of the on-demand scan reports, in the installation directory.
inline constexpr const char16_t* kScanIndexName = u"\\scan.dat";

// Scans the folder named by the arguments after the verb (joined by blanks,
// as the handset's command line is one string) with the on-demand settings,
// writes the scan report and shows the outcome in a message box.
int cardScanMain(int argc, char** argv);

// Whether a file is taken by a scan of "executable files": programs,
// libraries and the installer and archive formats that carry them.
bool isExecutableName(const std::u16string& name);

}  // namespace nxscan
