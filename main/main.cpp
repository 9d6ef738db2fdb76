#include <cstdio>

int main(int argc, char** argv)
{
    (void)argv;
    if (argc < 2) {
        puts("USAGE:\n\tproxy [port] -a [username:password] -b [blacklist]\nWHERE:\n\t-[port] is the port (negative = all adapters, positive = localhost only)\n\t-if -a is set, [username:password] are the credentials for basic proxy authentication\n\t-if -b is set, [blacklist] is a text file containing a list of domains to block, one per line\n");
        return 0;
    }
    return 0;
}
