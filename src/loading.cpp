#include "loading.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <system_error>
#include <thread>

#include <sys/stat.h>

#include "heap_setup.h"
#include "messages.h"
#include "motif_formats.h"
#include "region_records.h"
#include "settings.h"
#include "thread_start.h"

std::vector<motif> motif_db;
int motif_n = 0;
std::vector<seq> seq_db;
int seq_n = 0;
std::array<float, 5> background_frqs{0.2f, 0.2f, 0.2f, 0.2f, 0.2f};

namespace {

// Reads records into `table` until the input ends; a record beyond `capacity` prints
// the limit message and ends the loading of this file.
// A true `stop` ends it between records.
template <typename Record, typename Reader>
void load_table(line_reader& in, Reader read, std::vector<Record>& table, int& count, int capacity,
    const char* limit_message, const std::atomic<bool>* stop = nullptr)
{
    while (!in.at_end() && (stop == nullptr || !*stop)) {
        std::optional<Record> record = read(in);
        if (!record)
            break;
        if (count == capacity) {
            std::fprintf(messages(), limit_message, capacity);
            break;
        }
        table.push_back(std::move(*record));
        ++count;
    }
}

void read_motif_file(const std::string& motif_file)
{
    line_reader in(motif_file);
    const auto read_motif = [](line_reader& motifs) { return read_motif_in(motif_file_format, motifs); };
    load_table(in, read_motif, motif_db, motif_n, max_motifs, "motif_n: >%d\n");
    if (motif_n == 0)
        std::fprintf(stderr, "Tarnel: warning: %s holds no motif ('>' header line)\n", in.path().c_str());
}

// Returns the file's name as messages give it.
std::string read_seq_file(const std::string& seq_file, const std::atomic<bool>* stop = nullptr)
{
    line_reader in(seq_file);
    seq_builder record;
    thread_heap_pages pages;  // the letters fill heap after heap on a reading thread
    const auto read_seq = [&record, &pages](line_reader& seqs) {
        std::optional<seq> s = read_seq2(seqs, record);
        if (s)
            pages.cover(s->base.data());
        return s;
    };
    load_table(in, read_seq, seq_db, seq_n, max_seqs, "seq_n: >%d\n", stop);
    return in.path();
}

// Only a regular file is read beside the motifs: standard input or a pipe could keep the
// reading thread, and so a run whose motif file failed, waiting for its writer.
bool regular_file(const std::string& path)
{
    struct stat st { };
    return path != "-" && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The sequences read on a thread of their own while this one reads the motifs (a fifth of
// the serial start of a run of the real data), their messages held back and printed after
// the motifs', and an error of theirs raised after any of the motifs', as if read after
// them. Returns the sequence file's name as messages give it; false when no thread or
// memory stream could be had, and nothing was read.
bool read_both_at_once(const std::string& motif_file, const std::string& seq_file, std::string& seq_path)
{
    held_messages held;
    if (held.stream() == nullptr)
        return false;
    std::atomic<bool> stop = false;
    std::exception_ptr seq_error;
    {
        std::jthread seqs;
        try {
            // On another core than this one's: started where the system chose, the thread
            // often waited for this one to stop reading the motifs.
            seqs = start_on_core<std::jthread>(-1, [&] {
                hold_messages_in(held.stream());
                try {
                    seq_path = read_seq_file(seq_file, &stop);
                } catch (...) {
                    seq_error = std::current_exception();
                }
                hold_messages_in(nullptr);
            });
        } catch (const std::system_error&) {
            return false;
        }
        try {
            read_motif_file(motif_file);
        } catch (...) {
            stop = true;  // the sequences are not needed; the thread is waited for as it stops
            throw;
        }
    }
    held.write_out();
    if (seq_error)
        std::rethrow_exception(seq_error);
    return true;
}

}  // namespace

void clear_tables()
{
    motif_db.clear();
    motif_n = 0;
    seq_db.clear();
    seq_n = 0;
    background_frqs.fill(0.2f);
}

void read_inputs(const std::string& motif_file, const std::string& seq_file, input_reading reading)
{
    clear_tables();
    // An empty table is legal but almost always a mistake (a wrong file, a missing '>').
    if (genome_file.empty()) {
        std::string seq_path;
        if (reading != input_reading::at_once || !regular_file(seq_file) ||
            !read_both_at_once(motif_file, seq_file, seq_path)) {
            read_motif_file(motif_file);
            seq_path = read_seq_file(seq_file);
        }
        if (seq_n == 0)
            std::fprintf(stderr, "Tarnel: warning: %s holds no sequence ('>' title line)\n", seq_path.c_str());
    } else {
        read_motif_file(motif_file);
        // One record beyond the table's room is read, as from a sequence file, so that the
        // same limit message comes at the same point.
        std::vector<seq> records =
            read_region_records(genome_file, regions_file, summit_window, static_cast<std::size_t>(max_seqs) + 1);
        for (seq& record : records) {
            if (seq_n == max_seqs) {
                std::fprintf(messages(), "seq_n: >%d\n", max_seqs);
                break;
            }
            seq_db.push_back(std::move(record));
            ++seq_n;
        }
        if (seq_n == 0)
            std::fprintf(stderr, "Tarnel: warning: %s holds no region\n",
                regions_file == "-" ? "standard input" : regions_file.c_str());
    }
    calculat_bgfrqs_all();
}

void calculat_bgfrqs_all()
{
    std::array<std::int64_t, 5> counts{};
    std::int64_t total = 0;
    for (int i = 0; i < seq_n; ++i) {
        const std::array<std::int64_t, 5> own = count_codes(seq_db[static_cast<std::size_t>(i)].base);
        for (int c = 0; c < 5; ++c)
            counts[static_cast<std::size_t>(c)] += own[static_cast<std::size_t>(c)];
        total += seq_db[static_cast<std::size_t>(i)].len;
    }
    const float denominator = static_cast<float>(total) + 5 * pseudocount;
    for (int c = 0; c < 5; ++c)
        background_frqs[c] = (static_cast<float>(counts[c]) + pseudocount) / denominator;
}
