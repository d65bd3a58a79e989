#include "test_paths.h"

namespace vektest {

const char* BinaryDir() { return VEK_BINARY_DIR; }
const char* SourceDir() { return VEK_SOURCE_DIR; }
const char* TestSourceDir() { return VEK_SOURCE_DIR "/tests"; }

}  // namespace vektest
