# The edge's WebAssembly module (the wasm preset): tools/edge_tagger and what
# it links, with the JavaScript that emscripten writes to load it, as an ES
# module that is handed the compiled WebAssembly.Module (edge runtimes compile
# a module's .wasm when they load the worker and forbid compiling at run time,
# and eval). Written to ${CMAKE_BINARY_DIR}/edge: tvk_edge.mjs, tvk_edge.wasm.
add_executable(tvk_edge edge_tagger/edge_exports.cpp)
target_link_libraries(tvk_edge PRIVATE tvk_edge_tagger)
set_target_properties(tvk_edge PROPERTIES
    SUFFIX ".mjs"
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/edge")
target_link_options(tvk_edge PRIVATE
    -sMODULARIZE=1 -sEXPORT_ES6=1 -sEXPORT_NAME=TvkEdgeModule -sENVIRONMENT=web
    -sALLOW_MEMORY_GROWTH=1 -sFILESYSTEM=0 -sDYNAMIC_EXECUTION=0
    -sEXPORTED_FUNCTIONS=_malloc,_free)
