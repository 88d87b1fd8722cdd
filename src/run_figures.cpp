#include "run_figures.h"

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
    const std::vector<named_input> inputs = inputs_of_run(outputs_.run.motif_file, outputs_.run.seq_file);
    if (!outputs_.summary_file.empty())
        summary_ = std::make_unique<output_file>(outputs_.summary_file, inputs);
    if (!outputs_.report_file.empty())
        report_ = std::make_unique<output_file>(outputs_.report_file, inputs);
}

void run_figures::collect(int mi, const analysis_workspace& ws, report_rule rule)
{
    figures_[static_cast<std::size_t>(mi)] = collect_figures(mi, ws, rule, report_ != nullptr);
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
