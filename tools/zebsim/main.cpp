#include "cli.h"

int main(int argc, char** argv) { return zebsim::zebsim_main(argc, argv); }
