// Vessamo: a POP3-to-SMTP mail router. The shell reads the switches and wires the rest.
#include "shell/application.h"

int main(int argc, char **argv)
{
    return vessamo::shell::run(argc, argv);
}
