# Builds the tag writer from its own folder and the layout header alone, as
# a shared library that must resolve every symbol in itself and the C++
# standard library: a header or a function from anywhere else in the
# project (the reader, the platform layer, the stand-in) fails the build.
# The WebAssembly and Windows console builds of the tag writer rely on it.
#   cmake -DSOURCE_DIR=<repo> -DCOMPILER=<c++> -DWORK_DIR=<scratch> -P tag_writer_alone.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(COPY "${SOURCE_DIR}/tools/tag_writer" DESTINATION "${WORK_DIR}/tools")
file(COPY "${SOURCE_DIR}/package/package_layout.h" DESTINATION "${WORK_DIR}/package")
file(GLOB sources "${WORK_DIR}/tools/tag_writer/*.cpp")
execute_process(
    COMMAND "${COMPILER}" -std=c++20 -Wall -Wextra -Werror -fPIC -shared -Wl,--no-undefined
            "-I${WORK_DIR}" ${sources} -o "${WORK_DIR}/libtag_writer.so"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the tag writer does not build from its folder and the layout header alone")
endif()
