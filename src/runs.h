// The two runs over all motifs, and the output file they write.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "analyses.h"
#include "scan.h"

class run_figures;

// The output file; every write, the flush and the close are checked.
class output_file {
public:
    // Opens (creating or emptying) `path`; throws fatal_error naming it when it cannot.
    // "-" is standard output, flushed but left open at the close.
    explicit output_file(const std::string& path);
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // Throws fatal_error when the text cannot be written.
    void write(std::string_view text);
    // Flushes and closes; throws fatal_error when either fails.
    void close();

private:
    std::string path_;  // as errors name it
    std::FILE* file_ = nullptr;
    bool owned_ = true;  // false for standard output
};

// Throws fatal_error, before anything is opened, when the output path names an existing
// file that is also one of the inputs: opening it for writing would destroy that input.
void refuse_output_over_input(
    const std::string& output_path, const std::string& motif_file, const std::string& seq_file);

// Appends the output line of one kept record: motif, sequence, chromosome, start, end,
// strand, site, score, t value and p-value, tab-separated.
void append_output_line(std::string& out, const match& m);

// Appends the BED line of one kept record: chromosome, start (0-based), end (exclusive),
// motif, score 0 to 1000 from the t value, strand, then sequence, site, score, t value and
// p-value. Returns false, appending nothing, when the sequence's title gives no strand
// '+' or '-': such a site cannot be placed on the genome.
bool append_bed_line(std::string& out, const match& m);

// The line of the output format chosen (bed_output); false when the site is left out.
bool append_site_line(std::string& out, const match& m);

// round(100 t) within 0 to 1000: the BED score of a site.
int bed_score(double tvalue);

// Appends the lines (append_site_line) of the records of `matchs` that `rule` reports, in
// order; returns how many of them were left out.
long long append_reported_lines(std::string& out, std::span<const match> matchs, report_rule rule);

// The sampled run: every motif against its own random sample of rdm_n sequences;
// writes the kept sites with |t| >= score_th. With `figures`, every motif's figures are
// collected and their files written at the end.
void random_gene_set(const std::string& motif_file, const std::string& seq_file, const std::string& output_file_name,
    run_figures* figures = nullptr);

// One worker's share of the threaded run.
struct thread_para {
    std::vector<int> motif_indexs;  // in increasing order
    int msize = 0;
    output_file* fpout = nullptr;
};

// Deals every motif to a worker chosen by rand() modulo the number of workers.
void assign_threads(std::vector<thread_para>& paras, output_file& fpout);

// Frees the workers' motif lists.
void free_threads(std::vector<thread_para>& paras);

// Lets the tests make the start of chosen workers fail (0-based index).
using start_failure = std::function<bool(int worker)>;

// The threaded run: every motif against all sequences on thread_n workers; writes the
// kept sites with t >= score_th, motif after motif in index order. With `figures`, as in
// the sampled run.
void extream_gene_set(const std::string& motif_file, const std::string& seq_file, const std::string& output_file_name,
    const start_failure& fail_start = {}, run_figures* figures = nullptr);

// Guards the output file, the progress lines and finished_n.
extern std::mutex thread_lock;
extern int finished_n;
