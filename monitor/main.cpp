#include "monitor/monitor_program.h"

int main(int argc, char** argv) { return korzaMain(argc, argv); }
