#include "runs.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "analyses.h"
#include "errors.h"
#include "loading.h"
#include "messages.h"
#include "number_format.h"
#include "seq_reader.h"
#include "settings.h"

std::mutex thread_lock;
int finished_n = 0;

namespace {

// Same device and inode: the same file, whatever the name, link or symbolic link.
bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void refuse_output_over_input(
    const std::string& output_path, const std::string& motif_file, const std::string& seq_file)
{
    if (output_path == "-")
        return;  // standard output: nothing is opened, nothing truncated
    struct stat out { };
    if (stat(output_path.c_str(), &out) != 0)
        return;  // it does not exist yet, so it cannot be an input
    const std::pair<const char*, const std::string*> inputs[] = {
        {"-m/--motif", &motif_file}, {"-i/--input", &seq_file}};
    for (const auto& [option, path] : inputs) {
        struct stat in { };
        const int got = *path == "-" ? fstat(STDIN_FILENO, &in) : stat(path->c_str(), &in);
        if (got == 0 && same_file(out, in)) {
            const std::string input_name = *path == "-" ? "standard input" : "'" + *path + "'";
            throw fatal_error("-o/--output: " + output_path + " is the same file as the " + option + " input " +
                input_name + "; refusing to overwrite an input (nothing was written)");
        }
    }
}

output_file::output_file(const std::string& path) : path_(path)
{
    if (path == "-") {
        path_ = "standard output";
        file_ = stdout;
        owned_ = false;
        return;
    }
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr)
        throw fatal_error(system_reason(path, errno));
}

output_file::~output_file()
{
    if (file_ != nullptr && owned_)
        std::fclose(file_);
}

void output_file::write(std::string_view text)
{
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
        throw fatal_error(system_reason(path_, errno));
}

void output_file::close()
{
    std::FILE* file = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    const int flush_errno = errno;
    const bool closed = !owned_ || std::fclose(file) == 0;
    if (!flushed || !closed)
        throw fatal_error(system_reason(path_, flushed ? errno : flush_errno));
}

namespace {

// A tab inside a name would split it into two fields; it is written as a space.
void append_field(std::string& out, std::string_view text)
{
    const std::size_t from = out.size();
    out += text;
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), '\t', ' ');
}

// The site's letters as the motif reads them.
void append_site_letters(std::string& out, const match& m)
{
    if (!m.reverse) {
        append_field(out, m.bsite);
        return;
    }
    const std::size_t from = out.size();
    append_reverse_complement(out, m.bsite);
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), '\t', ' ');
}

// Score, t value and p-value as printf's "%f\t%f\t%e\n" write them, byte for byte.
void append_numbers(std::string& out, const match& m)
{
    append_fixed6(out, m.rs);
    out += '\t';
    append_fixed6(out, m.tvalue);
    out += '\t';
    append_exp6(out, m.pvalue);
    out += '\n';
}

// One line on standard error for the sites a BED file cannot hold.
void warn_left_out(long long left_out)
{
    if (left_out > 0)
        std::fprintf(stderr,
            "Tarnel: warning: %lld site(s) left out of the BED file: their sequence titles give no location "
            "with strand + or -\n",
            left_out);
}

}  // namespace

void append_output_line(std::string& out, const match& m)
{
    // Texts are appended whole (they are views, not terminated strings); numbers are
    // written as printf's "%d\t%d\t%c\t" and "\t%f\t%f\t%e\n" write them, byte for byte.
    for (std::string_view text : {std::string_view(motif_db[static_cast<std::size_t>(m.mi)].name),
             std::string_view(seq_db[static_cast<std::size_t>(m.si)].name), m.chrom}) {
        append_field(out, text);
        out += '\t';
    }
    append_integer(out, m.start);
    out += '\t';
    append_integer(out, m.end);
    out += '\t';
    out += m.strand == '\t' ? ' ' : m.strand;
    out += '\t';
    append_site_letters(out, m);
    out += '\t';
    append_numbers(out, m);
}

int bed_score(double tvalue)
{
    const double score = std::round(100.0 * tvalue);
    if (!(score > 0.0))  // negative, or not a number
        return 0;
    return score < 1000.0 ? static_cast<int>(score) : 1000;
}

bool append_bed_line(std::string& out, const match& m)
{
    // The written start and end follow the title's strand: 1-based on '+' titles, 0-based
    // inclusive on '-' titles (see calculated_pos2), whichever strand the site is on.
    const char title_strand = seq_db[static_cast<std::size_t>(m.si)].strand;
    if (title_strand != '+' && title_strand != '-')
        return false;
    append_field(out, m.chrom);
    out += '\t';
    append_integer(out, title_strand == '+' ? m.start - 1 : m.start);
    out += '\t';
    append_integer(out, title_strand == '+' ? m.end : m.end + 1);
    out += '\t';
    append_field(out, motif_db[static_cast<std::size_t>(m.mi)].name);
    out += '\t';
    append_integer(out, bed_score(m.tvalue));
    out += '\t';
    out += m.strand;
    out += '\t';
    append_field(out, seq_db[static_cast<std::size_t>(m.si)].name);
    out += '\t';
    append_site_letters(out, m);
    out += '\t';
    append_numbers(out, m);
    return true;
}

bool append_site_line(std::string& out, const match& m)
{
    if (bed_output)
        return append_bed_line(out, m);
    append_output_line(out, m);
    return true;
}

namespace {

// Progress stops once its stream has failed (its reader went away): the run still
// finishes the output file and reports the failure at the end.
bool progress_wanted()
{
    return !std::ferror(messages());
}

}  // namespace

void random_gene_set(const std::string& motif_file, const std::string& seq_file, const std::string& output_file_name)
{
    refuse_output_over_input(output_file_name, motif_file, seq_file);
    output_file out(output_file_name);
    read_inputs(motif_file, seq_file);

    int sample_n = rdm_n;
    if (sample_n > seq_n) {
        std::fprintf(messages(), "warning: sample size %d is larger than the %d loaded sequences; sampling %d\n", rdm_n,
            seq_n, seq_n);
        sample_n = seq_n;
    }
    analysis_workspace ws(sample_n);
    std::vector<match> match_db(static_cast<std::size_t>(sample_n > 0 ? sample_n : 0));
    std::string lines;
    long long left_out = 0;
    for (int mi = 0; mi < motif_n; ++mi) {
        if (progress_wanted())
            std::fprintf(messages(), "%d/%d\n", mi + 1, motif_n);
        int matchs_n = 0;
        random_matchs(mi, sample_n, ws, match_db, matchs_n);
        lines.clear();
        for (int ri = 0; ri < matchs_n; ++ri) {
            const match& m = match_db[static_cast<std::size_t>(ri)];
            if (score_th > std::fabs(m.tvalue))
                continue;
            left_out += append_site_line(lines, m) ? 0 : 1;
        }
        out.write(lines);
    }
    out.close();
    warn_left_out(left_out);
}

void assign_threads(std::vector<thread_para>& paras, output_file& fpout)
{
    for (thread_para& para : paras) {
        para.msize = 0;
        para.fpout = &fpout;
        para.motif_indexs.clear();
    }
    const int workers = static_cast<int>(paras.size());
    for (int mi = 0; mi < motif_n; ++mi) {
        thread_para& para = paras[static_cast<std::size_t>(std::rand() % workers)];
        para.motif_indexs.push_back(mi);
        ++para.msize;
    }
}

void free_threads(std::vector<thread_para>& paras)
{
    for (thread_para& para : paras) {
        para.msize = 0;
        para.motif_indexs = {};
    }
}

namespace {

// Motifs are written in index order whichever worker finishes first. A worker that
// finishes a motif before its turn parks the motif's lines and goes on, up to
// max_parked motifs; whoever writes the motif whose turn it is also writes every parked
// motif that follows it. Memory stays at a few motifs' lines per worker, and a worker
// rarely waits for another.
struct commit_order {
    enum class state : unsigned char { pending, parked, abandoned };
    static constexpr int max_parked = 16;

    explicit commit_order(const std::vector<thread_para>& paras)
    {
        states.assign(static_cast<std::size_t>(motif_n), state::pending);
        lines.resize(static_cast<std::size_t>(motif_n));
        owner.resize(static_cast<std::size_t>(motif_n));
        parked_n.assign(paras.size(), 0);
        for (std::size_t w = 0; w < paras.size(); ++w)
            for (int mi : paras[w].motif_indexs)
                owner[static_cast<std::size_t>(mi)] = static_cast<int>(w);
    }

    // All with thread_lock held.
    void park(int mi, std::string text)
    {
        lines[static_cast<std::size_t>(mi)] = std::move(text);
        states[static_cast<std::size_t>(mi)] = state::parked;
        ++parked_n[static_cast<std::size_t>(owner[static_cast<std::size_t>(mi)])];
    }
    void abandon(const std::vector<int>& motifs)
    {
        for (int mi : motifs)
            states[static_cast<std::size_t>(mi)] = state::abandoned;
    }
    // Writes the motifs from next_motif on for as long as they are ready.
    void write_ready(output_file& out)
    {
        for (; next_motif < motif_n; ++next_motif) {
            const auto mi = static_cast<std::size_t>(next_motif);
            if (states[mi] == state::pending)
                break;
            if (states[mi] == state::abandoned)
                continue;
            if (write_error.empty()) {
                try {
                    out.write(lines[mi]);
                } catch (const fatal_error& e) {
                    write_error = e.what();  // later motifs are not written
                }
            }
            lines[mi] = std::string();
            --parked_n[static_cast<std::size_t>(owner[mi])];
            ++finished_n;
            if (progress_wanted())
                std::fprintf(messages(), "%d/%d\n", finished_n, motif_n);
        }
    }

    std::condition_variable written;
    int next_motif = 0;
    std::vector<state> states;
    std::vector<std::string> lines;
    std::vector<int> owner;     // worker of each motif
    std::vector<int> parked_n;  // motifs each worker has waiting to be written
    std::string write_error;    // the first failure to write
    long long left_out = 0;     // sites a BED file could not place
};

void extream_threading(int worker, thread_para& para, commit_order& order)
{
    if (para.msize == 0)
        return;  // a worker without motifs takes no memory
    analysis_workspace ws(seq_n);
    std::vector<match> match_db(static_cast<std::size_t>(seq_n));
    for (int ix = 0; ix < para.msize; ++ix) {
        const int mi = para.motif_indexs[static_cast<std::size_t>(ix)];
        int matchs_n = 0;
        all_matchs(mi, ws, match_db, matchs_n);
        std::string lines;
        long long left_out = 0;
        for (int ri = 0; ri < matchs_n; ++ri) {
            const match& m = match_db[static_cast<std::size_t>(ri)];
            if (score_th > m.tvalue)
                continue;
            left_out += append_site_line(lines, m) ? 0 : 1;
        }
        std::unique_lock lock(thread_lock);
        order.left_out += left_out;
        order.park(mi, std::move(lines));
        order.write_ready(*para.fpout);
        order.written.notify_all();
        order.written.wait(
            lock, [&] { return order.parked_n[static_cast<std::size_t>(worker)] < commit_order::max_parked; });
    }
}

}  // namespace

void extream_gene_set(const std::string& motif_file, const std::string& seq_file, const std::string& output_file_name,
    const start_failure& fail_start)
{
    refuse_output_over_input(output_file_name, motif_file, seq_file);
    output_file out(output_file_name);
    read_inputs(motif_file, seq_file);

    std::vector<thread_para> paras(static_cast<std::size_t>(thread_n));
    assign_threads(paras, out);
    finished_n = 0;
    commit_order order(paras);

    std::fputs("start threading\n", messages());
    std::vector<std::thread> tids(paras.size());
    int lost_motifs = 0;
    for (std::size_t i = 0; i < paras.size(); ++i) {
        std::fprintf(messages(), "start thread %d\n", static_cast<int>(i) + 1);
        try {
            if (fail_start && fail_start(static_cast<int>(i)))
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            tids[i] = std::thread(extream_threading, static_cast<int>(i), std::ref(paras[i]), std::ref(order));
        } catch (const std::system_error&) {
            std::fprintf(messages(), "pthread_create error: %d", static_cast<int>(i));
            std::fflush(messages());
            // Its motifs will never be written: pass over them so the others go on.
            std::lock_guard lock(thread_lock);
            order.abandon(paras[i].motif_indexs);
            lost_motifs += paras[i].msize;
            order.write_ready(out);
            order.written.notify_all();
        }
    }
    for (std::thread& tid : tids)
        if (tid.joinable())
            tid.join();
    free_threads(paras);

    if (!order.write_error.empty())
        throw fatal_error(order.write_error);
    out.close();
    warn_left_out(order.left_out);
    if (lost_motifs > 0)
        throw fatal_error(std::to_string(lost_motifs) + " motif(s) were not analysed: a worker could not be started");
}
