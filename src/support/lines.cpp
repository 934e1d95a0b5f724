// Splits a byte stream into lines as it arrives.
#include "support/lines.hpp"

#include <algorithm>
#include <cstdint>

namespace vessa {

void LineSplitter::feed(std::string_view chunk) {
  size_t start = 0;
  for (size_t i = 0; i < chunk.size(); ++i) {
    char c = chunk[i];
    if (pending_cr_) {
      pending_cr_ = false;
      if (c == '\n') {  // second half of "\r\n": the line was already delivered
        start = i + 1;
        continue;
      }
    }
    if (c == '\n' || (c == '\r' && split_on_cr_)) {
      partial_.append(chunk.substr(start, i - start));
      if (c == '\n' && !partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      on_line_(partial_);
      partial_.clear();
      start = i + 1;
      if (c == '\r') pending_cr_ = true;
    }
  }
  partial_.append(chunk.substr(start));
}

void LineSplitter::finish() {
  if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
  if (!partial_.empty()) on_line_(partial_);
  partial_.clear();
  pending_cr_ = false;
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> out;
  LineSplitter s([&](std::string_view l) { out.emplace_back(l); });
  s.feed(text);
  s.finish();
  return out;
}

std::string trim(std::string_view text) {
  constexpr std::string_view kWs = " \t\n\r\v\f";
  auto b = text.find_first_not_of(kWs);
  if (b == std::string_view::npos) return {};
  auto e = text.find_last_not_of(kWs);
  return std::string(text.substr(b, e - b + 1));
}

std::string first_line(std::string_view text) {
  auto e = text.find_first_of("\r\n");
  return std::string(text.substr(0, e));
}

std::vector<std::string_view> split_fields(std::string_view text, size_t max) {
  std::vector<std::string_view> fields;
  while (!text.empty() && fields.size() < max) {
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const size_t end = std::min(text.find(' '), text.size());
    fields.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return fields;
}

}  // namespace vessa
