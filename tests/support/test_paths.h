// Where this build tree and its sources are. Only test_paths.cpp is compiled with
// them, so every other test file compiles to the same object in any clone and
// ccache serves it from the cache there.
#pragma once

namespace vektest {

const char* BinaryDir();      // the build tree: its programs are in cli/, sim/, ...
const char* SourceDir();      // the checkout
const char* TestSourceDir();  // the checkout's tests/

}  // namespace vektest
