# Writes a file's bytes as a C array, the form in which an installer carries
# its tag key:
#   cmake -DINPUT=key.der -DOUTPUT=key.h -DNAME=kTagKey -P c_array.cmake
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
string(REGEX REPLACE "((0x.., ){12})" "\\1\n   " bytes "${bytes}")
string(REGEX REPLACE " +\n" "\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "static const unsigned char ${NAME}[] = {\n    ${bytes}};\n")
