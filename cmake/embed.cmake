# Turns a text file into a C++ source defining `extern const std::string_view SYMBOL`.
file(READ "${IN}" content HEX)
string(LENGTH "${content}" hex_len)
math(EXPR byte_len "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
file(WRITE "${OUT}" "#include <string_view>\nnamespace vessa::embedded {\nstatic const char kData[] = {${bytes} 0};\nextern const std::string_view ${SYMBOL};\nconst std::string_view ${SYMBOL}(kData, ${byte_len});\n}  // namespace vessa::embedded\n")
