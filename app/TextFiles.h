#pragma once
// Line-based text files as the configuration and language files use them.
#include <string>
#include <vector>

// Reads all lines; CR LF, LF and a lone CR each end a line. An empty file
// gives no lines. Throws EInOutError when the file cannot be read.
std::vector<std::string> ReadTextLines(const std::string &fileName);

// Writes every line followed by CR LF. The new content goes to a temporary
// file beside the target that then replaces it, so a failed write never
// leaves a half-written file behind. Throws EInOutError on failure.
void WriteTextLines(const std::string &fileName, const std::vector<std::string> &lines);

bool FileExists(const std::string &fileName);
