// Tarnel: the best site of each motif in each sequence, and the sites that stand out.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "command_line.h"
#include "errors.h"
#include "messages.h"
#include "runs.h"
#include "settings.h"

int main(int argc, char** argv)
{
    const command_line cl = parse_command_line(argc, argv);
    if (!cl.run)
        return cl.exit_status;
    // Results on standard output: everything else goes to standard error.
    send_messages_to(cl.output_file == "-" ? stderr : stdout);
    std::srand(random_seed);
    try {
        if (run_sampling)
            random_gene_set(cl.motif_file, cl.seq_file, cl.output_file);
        else
            extream_gene_set(cl.motif_file, cl.seq_file, cl.output_file);
    } catch (const fatal_error& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "Tarnel: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "Tarnel: out of memory\n");
        return 1;
    }
    // Progress went to standard output; a failure to write it is a failure too.
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "Tarnel: cannot write to standard output\n");
        return 1;
    }
    return 0;
}
