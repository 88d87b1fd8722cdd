#include "runs.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <numeric>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "analyses.h"
#include "errors.h"
#include "loading.h"
#include "messages.h"
#include "number_format.h"
#include "random_generator.h"
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

// A tab inside a text field would split it into two; it is written as a space.
void tabs_to_spaces(std::string& out, std::size_t from)
{
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), '\t', ' ');
}

void append_field(std::string& out, std::string_view text)
{
    const std::size_t from = out.size();
    out += text;
    tabs_to_spaces(out, from);
}

// The site's letters as the motif reads them.
void append_site_letters(std::string& out, const match& m)
{
    const std::size_t from = out.size();
    if (m.reverse)
        append_reverse_complement(out, m.bsite);
    else
        out += m.bsite;
    tabs_to_spaces(out, from);
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

long long append_reported_lines(std::string& out, std::span<const match> matchs, report_rule rule)
{
    // The names and letters of the written sites lie all over the sequence table, and the
    // misses on them cost more than formatting the line: they are fetched a few written
    // lines ahead.
    constexpr int ahead = 8;
    std::size_t fetched = 0;  // records looked at by the prefetching cursor
    int in_flight = 0;        // written records fetched but not yet written
    long long left_out = 0;
    for (const match& m : matchs) {
        for (; fetched < matchs.size() && in_flight < ahead; ++fetched) {
            const match& next = matchs[fetched];
            if (!reported(next.tvalue, rule))
                continue;
            __builtin_prefetch(&seq_db[static_cast<std::size_t>(next.si)]);
            __builtin_prefetch(next.bsite.data());
            __builtin_prefetch(next.chrom.data());
            ++in_flight;
        }
        if (reported(m.tvalue, rule)) {
            left_out += append_site_line(out, m) ? 0 : 1;
            --in_flight;
        }
    }
    return left_out;
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
    std::string lines;
    long long left_out = 0;
    for (int mi = 0; mi < motif_n; ++mi) {
        if (progress_wanted())
            std::fprintf(messages(), "%d/%d\n", mi + 1, motif_n);
        int matchs_n = 0;
        random_matchs(mi, sample_n, ws, ws.matchs, matchs_n, report_rule::abs_t_reaches_threshold);
        lines.clear();
        left_out +=
            append_reported_lines(lines, std::span<const match>(ws.matchs.data(), static_cast<std::size_t>(matchs_n)),
                report_rule::abs_t_reaches_threshold);
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
        thread_para& para = paras[static_cast<std::size_t>(next_random() % workers)];
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

// Motifs scanned together over each block of sequences (see scan_group).
constexpr int motif_group = 8;
// Finished lines that may wait for their turn, in bytes, whatever the output's size.
constexpr std::size_t parked_budget = std::size_t{32} << 20;

// One set of a worker's buffers: the analysis buffers and the text of the motif it formats
// last, reused from motif to motif.
struct buffer_set {
    analysis_workspace ws{seq_n, motif_group};
    std::string text;
};

// Motifs are written in index order whichever worker finishes first. A worker that
// finishes motifs before their turn parks their lines and goes on; whoever finds the motif
// whose turn it is ready writes it and every ready motif after it, outside the lock, so
// that a slow disk does not stall the analyses.
//
// Memory follows neither the output's size nor the number of workers: the analysis
// buffers are shared out, one set per core at most, and a worker starts a group of motifs
// only when a set is free and the parked lines are within parked_budget. Among the
// workers waiting to start, the one whose group comes first in the output goes first: the
// analysis then moves along the output in order, and few lines have to wait. That worker
// never waits for the budget when it owns the motif whose turn it is, and buffers are
// never held while waiting, so the run always moves on.
struct commit_order {
    enum class state : unsigned char { pending, parked, abandoned };

    commit_order(const std::vector<thread_para>& paras, int buffer_sets)
        : turn(paras.size()), buffer_capacity(std::max(buffer_sets, 1))
    {
        states.assign(static_cast<std::size_t>(motif_n), state::pending);
        lines.resize(static_cast<std::size_t>(motif_n));
        owner.resize(static_cast<std::size_t>(motif_n));
        for (std::size_t w = 0; w < paras.size(); ++w)
            for (int mi : paras[w].motif_indexs)
                owner[static_cast<std::size_t>(mi)] = static_cast<int>(w);
    }

    // All with thread_lock held.
    void park(int mi, std::string text)
    {
        parked_bytes += text.size();
        lines[static_cast<std::size_t>(mi)] = std::move(text);
        states[static_cast<std::size_t>(mi)] = state::parked;
    }
    void abandon(const std::vector<int>& motifs)
    {
        for (int mi : motifs)
            states[static_cast<std::size_t>(mi)] = state::abandoned;
    }
    // Whether `worker`, waiting to start the group that begins with motif `first`, may.
    bool may_start(int worker, int first) const
    {
        if (waiting.empty() || waiting.begin()->first != first)
            return false;  // a group earlier in the output waits too
        const bool buffers = !idle.empty() || buffers_made < buffer_capacity;
        return buffers &&
            (parked_bytes <= parked_budget || next_motif >= motif_n ||
                owner[static_cast<std::size_t>(next_motif)] == worker);
    }
    // Wakes the one waiting worker that may be able to start now.
    void wake_next()
    {
        if (!waiting.empty())
            turn[static_cast<std::size_t>(waiting.begin()->second)].notify_one();
    }
    // Hands over the lines of motif mi. When it is the motif's turn and nobody is writing,
    // they are written straight from `text` (most motifs, since the groups are started in
    // output order); otherwise a copy of exactly their size is parked. `lock` holds
    // thread_lock and is let go while writing.
    void hand_over(int mi, const std::string& text, output_file& out, std::unique_lock<std::mutex>& lock)
    {
        if (writing || mi != next_motif) {
            park(mi, std::string(text));
            write_ready(out, lock);
            return;
        }
        writing = true;
        states[static_cast<std::size_t>(mi)] = state::parked;
        ++next_motif;
        write_in_turn(out, lock, std::span(&text, 1));
        writing = false;
        write_ready(out, lock);
        wake_next();
    }
    // Writes the motifs from next_motif on for as long as they are ready; `lock` holds
    // thread_lock and is let go while writing.
    void write_ready(output_file& out, std::unique_lock<std::mutex>& lock)
    {
        if (writing)
            return;  // the worker writing now takes these too
        writing = true;
        std::vector<std::string> batch;
        for (;;) {
            batch.clear();
            for (; next_motif < motif_n; ++next_motif) {
                const auto mi = static_cast<std::size_t>(next_motif);
                if (states[mi] == state::pending)
                    break;
                if (states[mi] == state::parked)
                    batch.push_back(std::move(lines[mi]));
            }
            if (batch.empty())
                break;
            write_in_turn(out, lock, batch);
            for (const std::string& text : batch)
                parked_bytes -= text.size();
            wake_next();
        }
        writing = false;
    }
    // Writes the lines of motifs whose turn it is, in order, with `lock` let go, and counts
    // them as finished. After a failure (kept in write_error) nothing more is written.
    void write_in_turn(output_file& out, std::unique_lock<std::mutex>& lock, std::span<const std::string> texts)
    {
        const bool failed = !write_error.empty();
        std::string error;
        lock.unlock();
        for (const std::string& text : texts) {
            if (failed || !error.empty())
                break;
            try {
                out.write(text);
            } catch (const fatal_error& e) {
                error = e.what();
            }
        }
        lock.lock();
        if (write_error.empty())
            write_error = error;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            ++finished_n;
            if (progress_wanted())
                std::fprintf(messages(), "%d/%d\n", finished_n, motif_n);
        }
    }

    int next_motif = 0;
    std::size_t parked_bytes = 0;
    bool writing = false;  // a worker is writing motifs outside the lock
    std::vector<state> states;
    std::vector<std::string> lines;
    std::vector<int> owner;                         // worker of each motif
    std::string write_error;                        // the first failure to write
    long long left_out = 0;                         // sites a BED file could not place
    std::map<int, int> waiting;                     // first motif of a waiting group -> its worker
    std::vector<std::condition_variable> turn;      // one per worker, to wake it alone
    std::vector<std::unique_ptr<buffer_set>> idle;  // buffer sets not in use
    int buffer_capacity;
    int buffers_made = 0;  // made on first need: a run with few motifs makes few
};

// The lines of motif group[g], whose hits scan_group has left in ws; counts the sites a
// BED file cannot place into left_out.
void analyse_member(
    std::span<const int> group, std::size_t g, analysis_workspace& ws, std::string& text, long long& left_out)
{
    const auto set = std::span<const int>(ws.index_rdm.data(), static_cast<std::size_t>(seq_n));
    int matchs_n = 0;
    analyse_hits(group[g], set, ws.hits_of(g, set.size()), ws.rc_hits_of(g, set.size()), ws, ws.matchs, matchs_n,
        report_rule::t_reaches_threshold);
    text.clear();
    left_out += append_reported_lines(text,
        std::span<const match>(ws.matchs.data(), static_cast<std::size_t>(matchs_n)), report_rule::t_reaches_threshold);
}

std::unique_ptr<buffer_set> take_buffers(int worker, int first, commit_order& order)
{
    {
        std::unique_lock lock(thread_lock);
        order.waiting.emplace(first, worker);
        order.turn[static_cast<std::size_t>(worker)].wait(lock, [&] { return order.may_start(worker, first); });
        order.waiting.erase(first);
        order.wake_next();  // another set may be free for the next in line
        if (!order.idle.empty()) {
            std::unique_ptr<buffer_set> buffers = std::move(order.idle.back());
            order.idle.pop_back();
            return buffers;
        }
        ++order.buffers_made;
    }
    return std::make_unique<buffer_set>();
}

void extream_threading(int worker, thread_para& para, commit_order& order)
{
    for (int first = 0; first < para.msize; first += motif_group) {
        const auto group = std::span<const int>(para.motif_indexs)
                               .subspan(static_cast<std::size_t>(first),
                                   static_cast<std::size_t>(std::min(motif_group, para.msize - first)));
        std::unique_ptr<buffer_set> buffers = take_buffers(worker, group.front(), order);
        analysis_workspace& ws = buffers->ws;
        std::iota(ws.index_rdm.begin(), ws.index_rdm.begin() + seq_n, 0);
        scan_group(group, std::span<const int>(ws.index_rdm.data(), static_cast<std::size_t>(seq_n)), ws);
        for (std::size_t g = 0; g < group.size(); ++g) {
            long long left_out = 0;
            analyse_member(group, g, ws, buffers->text, left_out);
            // Each motif is handed over as soon as it is done, as if analysed alone.
            std::unique_lock lock(thread_lock);
            order.left_out += left_out;
            order.hand_over(group[g], buffers->text, *para.fpout, lock);
        }
        std::lock_guard lock(thread_lock);
        order.idle.push_back(std::move(buffers));
        order.wake_next();
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
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    commit_order order(paras, std::min(thread_n, cores > 0 ? cores : thread_n));

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
            std::unique_lock lock(thread_lock);
            order.abandon(paras[i].motif_indexs);
            lost_motifs += paras[i].msize;
            order.write_ready(out, lock);
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
