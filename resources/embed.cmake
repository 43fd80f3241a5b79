# Writes the bytes of IN as a C array into OUT: const unsigned char ${SYMBOL}_data[] and
# const unsigned int ${SYMBOL}_size. Run with cmake -DIN=... -DOUT=... -DSYMBOL=... -P embed.cmake.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" n_hex)
math(EXPR n_bytes "${n_hex} / 2")
# Sixteen bytes a line keeps the generated file readable and the compiler's line buffers small.
string(REGEX REPLACE "(................................)" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}"
  "/* Generated from ${IN}; do not edit. */\n"
  "const unsigned char ${SYMBOL}_data[${n_bytes}] = {\n${bytes}\n};\n"
  "const unsigned int ${SYMBOL}_size = ${n_bytes}u;\n")
