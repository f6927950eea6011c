// Quorva: serves the message areas of a FidoNet tosser to remote clients.
#include "server/quorva.h"

int main(int argc, char** argv) { return serverMain(argc, argv); }
