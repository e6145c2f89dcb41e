# Writes a file's bytes as a C array, the form in which an installer carries
# its tag key, twelve bytes a line:
#   cmake -DINPUT=key.der -DOUTPUT=key.h -DNAME=kTagKey -P c_array.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
set(lines "")
set(position 0)
while(position LESS length)
    string(SUBSTRING "${hex}" ${position} 24 piece)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " piece "${piece}")
    string(STRIP "${piece}" piece)
    string(APPEND lines "    ${piece}\n")
    math(EXPR position "${position} + 24")
endwhile()
file(WRITE "${OUTPUT}" "static const unsigned char ${NAME}[] = {\n${lines}};\n")
