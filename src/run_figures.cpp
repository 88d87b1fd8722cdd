#include "run_figures.h"

#include <algorithm>

#include "loading.h"
#include "output_file.h"
#include "output_safety.h"
#include "runs.h"
#include "summary_file.h"

run_figures::run_figures(figure_outputs outputs) : outputs_(std::move(outputs)) {}

run_figures::~run_figures() = default;

void run_figures::begin(int first, int end)
{
    first_ = first;
    end_ = end;
    figures_.assign(static_cast<std::size_t>(motif_n), motif_figures{});
    top_ = std::make_unique<top_motifs>(outputs_.run.top);
    const std::vector<named_input> inputs = inputs_of_run(outputs_.run.motif_file, outputs_.run.seq_file);
    if (!outputs_.summary_file.empty())
        summary_ = std::make_unique<output_file>(outputs_.summary_file, inputs);
    if (!outputs_.report_file.empty())
        report_ = std::make_unique<output_file>(outputs_.report_file, inputs);
}

void run_figures::collect(int mi, const analysis_workspace& ws)
{
    // The report shows the histograms and top sites of its top motifs only (most sites
    // written, then motif-file order), which are known only at the end. They are worked out
    // for every motif that is among the top of those collected so far: that is every final
    // top motif whatever the order motifs come in, and few of the others.
    motif_figures& f = figures_[static_cast<std::size_t>(mi)];
    f = collect_figures(mi, ws, false);
    if (report_ != nullptr && top_->offer(mi, f.written))
        f = collect_figures(mi, ws, true);
}

bool top_motifs::offer(int mi, int written)
{
    if (top_ == 0)
        return false;
    const std::pair<int, int> key{written, -mi};
    const auto lower = [](const std::pair<int, int>& a, const std::pair<int, int>& b) { return a > b; };
    const std::lock_guard<std::mutex> hold(lock_);
    if (kept_.size() < top_) {
        kept_.push_back(key);
        std::push_heap(kept_.begin(), kept_.end(), lower);
        return true;
    }
    if (!(key > kept_.front()))
        return false;
    std::pop_heap(kept_.begin(), kept_.end(), lower);
    kept_.back() = key;
    std::push_heap(kept_.begin(), kept_.end(), lower);
    return true;
}

void run_figures::finish()
{
    if (summary_) {
        std::string text;
        append_summary(text, figures_, first_, end_);
        summary_->write(text);
        summary_->close();
    }
    if (report_) {
        std::string text;
        append_report(text, figures_, outputs_.run);
        report_->write(text);
        report_->close();
    }
}
