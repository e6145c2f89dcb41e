# Decode throughput of Base64Decode on a 20 MiB parameters block; native
# builds only (Google Benchmark). The target is at least 500 MB/s of base64
# text in a RelWithDebInfo build. Run: build/native/bench/base64_bench
if(NOT WIN32)
    find_package(benchmark REQUIRED)
    add_executable(base64_bench "${CMAKE_CURRENT_LIST_DIR}/base64_bench.cpp")
    target_link_libraries(base64_bench PRIVATE tvk_package benchmark::benchmark)
endif()
