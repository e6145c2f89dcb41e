# nlohmann-json and CLI11: header-only libraries from Debian's archive that
# the packaging command uses, as tvk_json and tvk_cli. The Windows cross
# builds take just those two folders of the host's /usr/include (copied into
# the build tree); the rest of the host's headers stays out of their way.
if(CMAKE_CROSSCOMPILING)
    set(tvk_host_headers "${CMAKE_BINARY_DIR}/host-headers")
    foreach(folder nlohmann CLI)
        if(NOT IS_DIRECTORY "/usr/include/${folder}")
            message(FATAL_ERROR "/usr/include/${folder} is missing: run tools/install-deps.sh")
        endif()
        file(COPY "/usr/include/${folder}" DESTINATION "${tvk_host_headers}")
    endforeach()
    add_library(tvk_json INTERFACE)
    target_include_directories(tvk_json SYSTEM INTERFACE "${tvk_host_headers}")
    add_library(tvk_cli INTERFACE)
    target_include_directories(tvk_cli SYSTEM INTERFACE "${tvk_host_headers}")
else()
    find_package(nlohmann_json 3.11 REQUIRED)
    find_package(CLI11 2.1 REQUIRED)
    add_library(tvk_json INTERFACE)
    target_link_libraries(tvk_json INTERFACE nlohmann_json::nlohmann_json)
    add_library(tvk_cli INTERFACE)
    target_link_libraries(tvk_cli INTERFACE CLI11::CLI11)
endif()
