// Compressed inputs and standard input read exactly as plain files.
#include <gtest/gtest.h>

#include <zlib.h>

#include "test_util.h"

namespace {

std::string write_gzip(const scratch_dir& dir, const std::string& name, const std::string& content)
{
    const std::string path = dir.file(name);
    gzFile f = gzopen(path.c_str(), "wb");
    gzwrite(f, content.data(), static_cast<unsigned>(content.size()));
    gzclose(f);
    return path;
}

const std::string motifs_path = example_data_path("jaspar_core.motifs");
const std::string seqs_path = example_data_path("real_seqs.fa");

// The first motifs and sequences of the real data keep these runs short.
std::string head_records(const std::string& path, int records)
{
    std::string text;
    int seen = 0;
    for (const std::string& line : split(read_file(path), '\n')) {
        if (!line.empty() && line[0] == '>' && ++seen > records)
            break;
        text += line + "\n";
    }
    return text;
}

}  // namespace

TEST(Pipelines, GzipInputsGiveTheSameOutputWhateverTheirName)
{
    scratch_dir dir;
    const std::string motifs = head_records(motifs_path, 40);
    const std::string seqs = head_records(seqs_path, 300);
    const auto run = [&](const std::string& m, const std::string& s, const std::string& out) {
        const process_result r = run_tarnel({"-m", m, "-i", s, "-o", dir.file(out)});
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(dir.file(out));
    };
    const std::string plain = run(dir.write("m.txt", motifs), dir.write("s.fa", seqs), "plain.txt");
    EXPECT_FALSE(plain.empty());
    EXPECT_EQ(run(write_gzip(dir, "m.txt.gz", motifs), write_gzip(dir, "s.fa.gz", seqs), "gz.txt"), plain);
    // Detected by the magic bytes, not the name.
    EXPECT_EQ(run(write_gzip(dir, "motifs.txt", motifs), write_gzip(dir, "seqs.txt", seqs), "named.txt"), plain);
}

TEST(Pipelines, DamagedGzipInputFails)
{
    scratch_dir dir;
    const std::string whole = read_file(write_gzip(dir, "full.gz", head_records(seqs_path, 300)));
    const std::string cut = dir.write("cut.fa.gz", whole.substr(0, whole.size() / 2));
    const process_result r =
        run_tarnel({"-m", dir.write("m.txt", head_records(motifs_path, 2)), "-i", cut, "-o", dir.file("out.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cut.fa.gz: "), std::string::npos) << r.err;
}

TEST(Pipelines, DataAfterTheGzipMembersIsRefused)
{
    scratch_dir dir;
    const std::string a = head_records(seqs_path, 100);
    const std::string b = head_records(seqs_path, 150).substr(a.size());
    const std::string m = dir.write("m.txt", head_records(motifs_path, 5));
    const std::string a_gz = read_file(write_gzip(dir, "a.fa.gz", a));
    const std::string b_gz = read_file(write_gzip(dir, "b.fa.gz", b));
    ASSERT_EQ(run_tarnel({"-m", m, "-i", dir.write("ab.fa", a + b), "-o", dir.file("plain.txt")}).status, 0);
    // Members one after the other read as one stream.
    process_result r = run_tarnel({"-m", m, "-i", dir.write("two.fa.gz", a_gz + b_gz), "-o", dir.file("two.txt")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("two.txt")), read_file(dir.file("plain.txt")));
    // Plain text after them would be lost: the run stops and names the file.
    for (const std::string& tail : {b, std::string("x")}) {
        r = run_tarnel({"-m", m, "-i", dir.write("mixed.fa", a_gz + tail), "-o", dir.file("mixed.txt")});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("mixed.fa: holds data after the end of its gzip data"), std::string::npos) << r.err;
    }
}

TEST(Pipelines, StandardInputReadsLikeAFile)
{
    scratch_dir dir;
    const std::string motifs = head_records(motifs_path, 30);
    const std::string seqs = head_records(seqs_path, 200);
    const std::string m = dir.write("m.txt", motifs);
    const std::string s = dir.write("s.fa", seqs);
    ASSERT_EQ(run_tarnel({"-m", m, "-i", s, "-o", dir.file("file.txt")}).status, 0);
    const std::string expected = read_file(dir.file("file.txt"));

    process_result r = run_tarnel({"-m", m, "-i", "-", "-o", dir.file("seq_stdin.txt")}, seqs);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("seq_stdin.txt")), expected);
    r = run_tarnel({"-m", "-", "-i", s, "-o", dir.file("motif_stdin.txt")}, motifs);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("motif_stdin.txt")), expected);
    // Compressed standard input too.
    r = run_tarnel({"-m", m, "-i", "-", "-o", dir.file("gz_stdin.txt")}, read_file(write_gzip(dir, "s.gz", seqs)));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("gz_stdin.txt")), expected);

    r = run_tarnel({"-m", "-", "-i", "-", "-o", dir.file("both.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("standard input"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("both.txt")));
    // Other names of standard input are the same stream: compared as files, not names.
    for (const auto& [motif_name, seq_name] : {std::pair<std::string, std::string>{"/dev/stdin", "-"},
             {"-", "/dev/fd/0"}, {"/dev/stdin", "/dev/stdin"}}) {
        r = run_tarnel({"-m", motif_name, "-i", seq_name, "-o", dir.file("both.txt")}, seqs);
        EXPECT_EQ(r.status, 1) << motif_name << " " << seq_name;
        EXPECT_NE(r.err.find("only one of -m/--motif and -i/--input can read standard input"), std::string::npos)
            << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("both.txt")));
    }
}

TEST(Pipelines, OneHugeCompressedLineKeepsMemoryBounded)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers keep shadow memory of their own: the peak says nothing of the program's";
#endif
    scratch_dir dir;
    // 100 MB lines compress to a few hundred kilobytes: as a title, as sequence text and
    // as a motif header and row. Nothing of them beyond what a record keeps is held.
    std::string seqs;
    std::string motifs;
    {
        // Freed before the run: a child's peak memory counts what it shared before exec.
        const std::string huge(100'000'000, 'A');
        seqs = write_gzip(dir, "s.gz", ">" + huge + "\n>big::chr1:0-9(+)\n" + huge + "\n>c\nACGT\n");
        motifs = write_gzip(dir, "m.gz", ">" + huge + "\n" + huge + "\t1\t1\t1\n");
    }
    const process_result r = run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("out.txt")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("seq len: >5500"), std::string::npos);
    EXPECT_LT(r.peak_rss_kb, 64 * 1024) << "peak resident memory in kB";
}

TEST(Pipelines, MotifFormatOptionReadsJasparFiles)
{
    scratch_dir dir;
    // The bundled example motifs, written again as JASPAR bracket matrices.
    std::string jaspar;
    std::vector<std::vector<std::string>> rows;
    std::string name;
    const auto flush = [&] {
        if (name.empty())
            return;
        jaspar += ">" + name + "\n";
        for (std::size_t b = 0; b < 4; ++b) {
            jaspar += std::string(1, "ACGT"[b]) + " [";
            for (const auto& row : rows)
                jaspar += " " + row[b];
            jaspar += " ]\n";
        }
        rows.clear();
    };
    const std::string source = std::string(TARNEL_SOURCE_DIR) + "/examples/motifs.txt";
    for (const std::string& line : split(read_file(source), '\n')) {
        if (line[0] == '>') {
            flush();
            name = line.substr(1);
        } else {
            rows.push_back(split(line, '\t'));
        }
    }
    flush();
    const std::string seqs = std::string(TARNEL_SOURCE_DIR) + "/examples/seqs.fa";
    ASSERT_EQ(run_tarnel({"-m", source, "-i", seqs, "-o", dir.file("own.txt")}).status, 0);
    const process_result r = run_tarnel(
        {"-m", dir.write("m.jaspar", jaspar), "--motif-format", "jaspar", "-i", seqs, "-o", dir.file("jaspar.txt")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(read_file(dir.file("own.txt")).empty());
    EXPECT_EQ(read_file(dir.file("jaspar.txt")), read_file(dir.file("own.txt")));
    // A malformed file names itself and the line.
    const process_result bad = run_tarnel({"-m", dir.write("bad.jaspar", ">x\nA [ 1 2 ]\nC [ 1 ]\n"), "--motif-format",
        "jaspar", "-i", seqs, "-o", dir.file("bad.txt")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("bad.jaspar:3"), std::string::npos) << bad.err;
}
