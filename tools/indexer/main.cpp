// mpgsource-index: writes the project file of an MPEG-2 video, with the flags of `mpgsource index`
// and the project as an optional second argument.
#include "platform/arguments.h"
#include "tools/indexer/index_tool.h"

int main(int argc, char** argv) {
  return indexer::IndexToolMain(platform::ProgramArguments(argc, argv));
}
