// Process entry of the service on Linux.
#include "agent/service.h"

int main(int argc, char** argv) { return hxt::ServiceProcessMain(static_cast<u32>(argc), argv); }
