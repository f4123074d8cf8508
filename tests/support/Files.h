#pragma once
// A whole file read or written at once, bytes as they stand.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace support {

// Empty when the file cannot be read.
inline std::string ReadFile(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path &p, const std::string &content) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

} // namespace support
