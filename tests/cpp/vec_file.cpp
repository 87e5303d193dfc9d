// Parses Key/IV/In/Out hex vector files.
#include "vec_file.h"

#include <fstream>
#include <stdexcept>

namespace qox::aes::test {

namespace {

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

}  // namespace

Bytes from_hex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + hex);
  Bytes out;
  if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw std::invalid_argument("not hex: " + hex);
  }
  for (size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<CbcVector> load_vectors(const std::string& name) {
  const std::string path = std::string(QOX_TEST_DATA_DIR) + "/" + name;
  std::ifstream f(path);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<CbcVector> out;
  CbcVector cur;
  std::string line;
  while (std::getline(f, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      cur.section = line.substr(1, line.size() - 2);
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) throw std::runtime_error("bad line: " + line);
    const std::string field = trim(line.substr(0, eq));
    const Bytes value = from_hex(trim(line.substr(eq + 1)));
    if (field == "Key")
      cur.key = value;
    else if (field == "IV")
      cur.iv = value;
    else if (field == "In")
      cur.in = value;
    else if (field == "Out") {
      cur.out = value;
      out.push_back(cur);
    } else
      throw std::runtime_error("unknown field: " + field);
  }
  return out;
}

}  // namespace qox::aes::test
