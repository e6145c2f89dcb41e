# WebAssembly with Debian's emscripten (apt-get install emscripten): the
# edge's module. em++ runs its JavaScript optimiser under Node.js, which
# finds Debian's JavaScript modules (acorn) through NODE_PATH: the wasm
# presets set it for the configure and build steps.
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)
