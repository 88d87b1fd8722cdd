#include "loading.h"

#include <cstdint>
#include <cstdio>

#include "messages.h"
#include "motif_formats.h"
#include "region_records.h"
#include "settings.h"

std::vector<motif> motif_db;
int motif_n = 0;
std::vector<seq> seq_db;
int seq_n = 0;
std::array<float, 5> background_frqs{0.2f, 0.2f, 0.2f, 0.2f, 0.2f};

namespace {

// Reads records into `table` until the input ends; a record beyond `capacity` prints
// the limit message and ends the loading of this file.
template <typename Record, typename Reader>
void load_table(
    line_reader& in, Reader read, std::vector<Record>& table, int& count, int capacity, const char* limit_message)
{
    while (!in.at_end()) {
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

}  // namespace

void clear_tables()
{
    motif_db.clear();
    motif_n = 0;
    seq_db.clear();
    seq_n = 0;
    background_frqs.fill(0.2f);
}

void read_inputs(const std::string& motif_file, const std::string& seq_file)
{
    clear_tables();
    // An empty table is legal but almost always a mistake (a wrong file, a missing '>').
    {
        line_reader in(motif_file);
        const auto read_motif = [](line_reader& motifs) { return read_motif_in(motif_file_format, motifs); };
        load_table(in, read_motif, motif_db, motif_n, max_motifs, "motif_n: >%d\n");
        if (motif_n == 0)
            std::fprintf(stderr, "Tarnel: warning: %s holds no motif ('>' header line)\n", in.path().c_str());
    }
    if (!genome_file.empty()) {
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
    } else {
        line_reader in(seq_file);
        seq_builder record;
        const auto read_seq = [&record](line_reader& seqs) { return read_seq2(seqs, record); };
        load_table(in, read_seq, seq_db, seq_n, max_seqs, "seq_n: >%d\n");
        if (seq_n == 0)
            std::fprintf(stderr, "Tarnel: warning: %s holds no sequence ('>' title line)\n", in.path().c_str());
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
