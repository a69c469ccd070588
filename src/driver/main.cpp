#include "driver/run.h"

int main(int argc, char** argv) { return zeb::run_main(argc, argv); }
