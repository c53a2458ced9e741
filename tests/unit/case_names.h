// Readable and stable names for the cases of parameterised suites, which CTest lists one by one:
// the case's index, then a short description with everything but letters and digits made '_'.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

inline std::string CaseName(std::size_t index, const std::string& description) {
  std::string name = std::to_string(index);
  if (!description.empty()) name += '_';
  for (unsigned char c : description) name += std::isalnum(c) != 0 ? static_cast<char>(c) : '_';
  return name;
}

// A name generator for INSTANTIATE_TEST_SUITE_P from a function describing one case.
template <typename Param, typename Describe>
auto NamedBy(Describe describe) {
  return [describe](const testing::TestParamInfo<Param>& info) {
    return CaseName(info.index, describe(info.param));
  };
}

// Names from the case's own PrintTo.
template <typename Param>
auto NamedByPrinting() {
  return [](const testing::TestParamInfo<Param>& info) {
    return CaseName(info.index, testing::PrintToString(info.param));
  };
}
