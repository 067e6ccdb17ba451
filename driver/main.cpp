// Process entry of KELVOR_STOI.
#include "driver/run.h"

int main(int argc, char** argv) {
    return kelvor::tool_main(argc, argv);
}
