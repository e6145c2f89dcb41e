# The stub as it ships, for the Windows configurations.
#
# The test programs need the -posix thread-model compilers (GoogleTest uses
# std::mutex); the stub is built with the -win32 ones, which link no
# winpthreads. One CMake build has one compiler, so the stub comes from a
# sub-build of this source tree in product-only mode (TVK_PRODUCT_ONLY),
# which writes build/<preset>/tvkstub.exe. Every test of the stub
# executable runs that file: TVK_STUB names it.
#
# The 32-bit configuration also writes the stub's identity beside it
# (tvkstub.exe.stub-id): the lower-case hexadecimal text that
# "tvkpack stub-id" and "tvkpack inspect" print for the stub and for every
# package made from it. A small host program computes it with the same code
# as tvkpack (tools/packaging/stub_identity.cpp).
include(ExternalProject)

set(TVK_STUB "${CMAKE_BINARY_DIR}/tvkstub.exe")
set(TVK_STUB_IDENTITY_FILE "${CMAKE_BINARY_DIR}/tvkstub.exe.stub-id")

# The product build's settings, apart from the toolchain file (given by its
# path inside the source tree, so that a copy of the tree can use its own).
file(RELATIVE_PATH TVK_PRODUCT_TOOLCHAIN "${CMAKE_SOURCE_DIR}" "${CMAKE_TOOLCHAIN_FILE}")
set(TVK_PRODUCT_ARGS
    -DTVK_PRODUCT_ONLY=ON
    -DTVK_MINGW_THREADS=win32
    -DCMAKE_BUILD_TYPE=MinSizeRel)

ExternalProject_Add(tvkstub_product
    SOURCE_DIR "${CMAKE_SOURCE_DIR}"
    BINARY_DIR "${CMAKE_BINARY_DIR}/product"
    CMAKE_ARGS "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}" ${TVK_PRODUCT_ARGS}
               "-DTVK_STUB_OUTPUT_DIRECTORY=${CMAKE_BINARY_DIR}"
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target tvkstub
    BUILD_ALWAYS TRUE
    BUILD_BYPRODUCTS "${TVK_STUB}"
    INSTALL_COMMAND ""
    EXCLUDE_FROM_ALL TRUE)

set(stub_outputs "${TVK_STUB}")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    find_program(TVK_HOST_CXX NAMES g++ c++ REQUIRED)
    set(stub_id_tool "${CMAKE_BINARY_DIR}/host/stub_id")
    # The identity code and what it reads headers with: the package writer
    # and the tag writer under it, whose folders need nothing from outside
    # but package/package_layout.h.
    file(GLOB package_writer_sources CONFIGURE_DEPENDS
        "${CMAKE_SOURCE_DIR}/tools/package_writer/*.cpp"
        "${CMAKE_SOURCE_DIR}/tools/tag_writer/*.cpp")
    file(GLOB package_writer_headers CONFIGURE_DEPENDS
        "${CMAKE_SOURCE_DIR}/tools/package_writer/*.h"
        "${CMAKE_SOURCE_DIR}/tools/tag_writer/*.h")
    set(stub_id_sources
        "${CMAKE_SOURCE_DIR}/tools/stub_id/stub_id.cpp"
        "${CMAKE_SOURCE_DIR}/tools/packaging/stub_identity.cpp"
        "${CMAKE_SOURCE_DIR}/tools/packaging/sha256.cpp"
        "${CMAKE_SOURCE_DIR}/tools/packaging/sha256_openssl.cpp"
        ${package_writer_sources})
    set(stub_id_headers
        "${CMAKE_SOURCE_DIR}/tools/packaging/stub_identity.h"
        "${CMAKE_SOURCE_DIR}/tools/packaging/sha256.h"
        "${CMAKE_SOURCE_DIR}/tools/packaging/tool_files.h"
        "${CMAKE_SOURCE_DIR}/tools/packaging/system_file.h"
        "${CMAKE_SOURCE_DIR}/package/package_layout.h"
        ${package_writer_headers})
    add_custom_command(OUTPUT "${stub_id_tool}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/host"
        COMMAND "${TVK_HOST_CXX}" -std=c++20 -O2 -Wall -Wextra -Werror
                "-I${CMAKE_SOURCE_DIR}" ${stub_id_sources} -lcrypto -o "${stub_id_tool}"
        DEPENDS ${stub_id_sources} ${stub_id_headers}
        COMMENT "Building the host program that computes the stub's identity"
        VERBATIM)
    add_custom_command(OUTPUT "${TVK_STUB_IDENTITY_FILE}"
        COMMAND "${stub_id_tool}" "${TVK_STUB}" "${TVK_STUB_IDENTITY_FILE}"
        DEPENDS "${stub_id_tool}" "${TVK_STUB}" tvkstub_product
        COMMENT "Writing the stub's identity to tvkstub.exe.stub-id"
        VERBATIM)
    list(APPEND stub_outputs "${TVK_STUB_IDENTITY_FILE}")
endif()

# "cmake --build --preset <preset> --target tvkstub" builds the stub alone.
add_custom_target(tvkstub ALL DEPENDS ${stub_outputs})
add_dependencies(tvkstub tvkstub_product)
