#include "report/pipeline/pipeline.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "report/causes/cause_file.h"
#include "report/causes/cause_watch.h"
#include "report/events/row_events.h"
#include "report/events/silence.h"
#include "report/fold/heat_grid.h"
#include "report/fold/report_figures.h"
#include "report/fold/run_fold.h"
#include "report/input/bad_lines.h"
#include "report/input/input_list.h"
#include "report/input/input_stage.h"
#include "report/input/line_source.h"
#include "report/input/log_facts.h"
#include "report/input/log_reader.h"
#include "report/os/clocks.h"
#include "report/os/input.h"
#include "report/os/processes.h"
#include "report/os/signals.h"
#include "report/outputs/outputs.h"
#include "report/util/complain.h"
#include "report/util/report_time.h"

namespace {

// Everything one pass keeps, allocated once; nothing in it grows with the log.
struct pipeline {
    const report_options* o;
    row_sink sink;
    line_source source;
    log_facts facts;
    input_stage input;
    stall_rule rule;
    run_fold fold;
    heat_grid grid;
    silence_timer silence;
    // The watch's live figures of the machine: a watch's only (--follow), else nullptr.
    std::unique_ptr<cause_watch> causes;
    cause_figures row_figures;  // over the time of the row being read
    cause_book book;            // the causes kept beside the day file being read
    int64_t line_came_ms;       // monotonic ms of the last line read (a watch)
    bool file_note_said;        // a watch on a file that does not grow has been told so
};

// The sink's calls, each to whichever sink there is.
void sink_line(pipeline* p, log_line_kind kind, std::string_view text, const report_row* row) {
    if (p->sink.out != nullptr) {
        outputs_line(p->sink.out, kind, text, row);
    }
}

void sink_row(pipeline* p, const classified_row& row) {
    if (p->sink.out != nullptr) {
        outputs_row(p->sink.out, row, &p->fold);
    }
    if (p->sink.host != nullptr) {
        fold_fleet_host(p->sink.host, row);
    }
}

void sink_silence(pipeline* p, bool again, int64_t silent_ms, int64_t ms, long line,
                  cause_kind cause, const cause_figures& figures) {
    if (p->sink.out != nullptr) {
        outputs_silence(p->sink.out, again, silent_ms, ms, line, cause, figures);
    }
}

int sink_finish(pipeline* p, const report_figures& figures) {
    return p->sink.out != nullptr ? finish_outputs(p->sink.out, figures)
                                  : finish_fleet_host(p->sink.host, figures);
}

int64_t wall_ms() {
    return floor_div(wall_clock_ns(), 1'000'000);
}

// Why the row's largest gap (or its step back) came, and who took the CPU: from the
// figures taken live, or else from those kept beside its day file; unknown when there
// are neither.
void row_cause(pipeline* p, int64_t row_ms, row_events* events) {
    if (p->row_figures.have != 0) {
        events->cause =
            name_cause(p->row_figures, events->largest_gap_ns, step_back_only_ns(*events));
        if (any_event(*events)) {
            cause_culprits(p->causes.get(), events->cause, &events->culprits);
        }
        return;
    }
    events->cause = find_cause(&p->book, row_ms, events->largest_gap_ns, &events->culprits);
}

// The stall rule and the fold's thresholds, from --stall or, before the first row, the
// monitor's pause as its log gives it.
void start_thresholds(pipeline* p, int32_t pause_ms) {
    start_stall_rule(&p->rule, p->o->stall_ms * 1'000'000);
    if (pause_ms >= 0) {
        learn_pause(&p->rule, pause_ms);
    }
    start_fold(&p->fold, p->rule.asked_ns);
}

// A row of the window: classified once, then folded and handed to every output.
void take_window_row(pipeline* p, const window_row& in) {
    if (p->rule.rows == 0 && p->input.pause_ms > 0) {
        start_thresholds(p, p->input.pause_ms);  // nothing is folded yet
    }
    learn_clock(&p->rule, *in.row);
    classified_row row{in, find_row_events(*in.row, threshold_in_force(&p->rule).threshold_ns),
                       p->row_figures, line_waiting(&p->source)};
    row_cause(p, in.ms, &row.events);
    fold_row(&p->fold, in, row.events);
    fold_heat(&p->grid, in, row.events);
    sink_row(p, row);
}

// A row read live (a watch): the cause figures over its time, and the end of a silence.
void watch_row(pipeline* p, const report_row& row, long line) {
    const int64_t row_ms = unix_ms(row.timestamp);
    const int64_t wall = wall_ms();
    if (p->sink.out != nullptr) {
        outputs_row_live(p->sink.out, is_live_row(row_ms, wall));
    }
    cause_pause(p->causes.get(), p->input.pause_ms);
    p->row_figures = cause_row_figures(p->causes.get(), row_ms, wall);
    int64_t silent_ms = 0;
    if (silence_ends(&p->silence, monotonic_ms(), row_ms, line, &silent_ms)) {
        sink_silence(p, true, silent_ms, row_ms, line, cause_kind::unknown, cause_figures{});
    }
}

// A row at the source's line. False when standard output is gone.
bool take_row(pipeline* p, std::string_view text, const report_row& row) {
    const long line = p->facts.lines + p->source.number;  // as in the files joined
    sink_line(p, log_line_kind::row, text, &row);
    if (p->causes != nullptr) {
        watch_row(p, row, line);
    }
    window_row in;
    if (input_row(&p->input, row, line, &in)) {
        take_window_row(p, in);
    }
    int error = 0;
    if (p->sink.out == nullptr || !outputs_gone(p->sink.out, &error)) {
        return true;
    }
    if (p->o->follow) {
        complain("standard output is gone; stopping the watch");
    } else {
        output_failed(error);  // a reader that has gone ends it here
    }
    return false;
}

// A whole line that is not a fast-read row. Returns 0, or the status that ends the report.
int take_other_line(pipeline* p, std::string_view text) {
    const log_line line = read_log_line(text);
    switch (line.kind) {
        case log_line_kind::preamble:
        case log_line_kind::header:
            input_run_line(&p->input, text, line.kind == log_line_kind::header);
            sink_line(p, line.kind, text, nullptr);
            return 0;
        case log_line_kind::row:  // one read_row left to the careful reader
            return take_row(p, text, line.row) ? 0 : 1;
        case log_line_kind::bad:
            break;
    }
    return skip_bad_line(&p->facts, &p->source, p->source.number, text, line.error, p->o->strict)
               ? 0
               : 1;
}

// A watch on a regular file that has not grown for this long says, once, that it goes
// on waiting for the file to grow.
constexpr int64_t file_note_ms = 10'000;

void note_a_file_that_waits(pipeline* p) {
    if (p->file_note_said || monotonic_ms() - p->line_came_ms < file_note_ms) {
        return;
    }
    // Once, and for a pipe not at all: its deadline is then no longer waited for, which
    // would otherwise end every wait at once from now on.
    p->file_note_said = true;
    if (!is_regular_file(p->source.in.input.fd)) {
        return;
    }
    tell("%s has not grown for %" PRId64
         " s: the watch follows it as it grows, as tail -f does, until Ctrl-C; to read it to "
         "its end and stop, run clockgap-report %s (or cat it into clockgap-report)",
         p->facts.file, file_note_ms / 1000,
         strcmp(p->facts.file, "standard input") == 0 ? "FILE" : p->facts.file);
}

// A watch waited for its input: its own tick, and a silence while it lasts.
void watch_quiet(pipeline* p) {
    note_a_file_that_waits(p);
    cause_tick(p->causes.get());
    int64_t silent_ms = 0;
    if (silence_due(&p->silence, monotonic_ms(), &silent_ms)) {
        const cause_figures f = cause_silence_figures(p->causes.get());
        sink_silence(p, false, silent_ms, p->silence.last_row_ms, p->silence.last_line,
                     name_cause(f, ms_as_ns(silent_ms), 0), f);
    }
}

// Reads every line into the folds and the sink. Returns 0, or the status that ends the
// report.
int read_lines(pipeline* p) {
    char reason[160] = "";
    for (;;) {
        if (p->causes != nullptr) {
            p->source.in.input.quiet_at_ms =
                std::min(p->silence.next_ms, next_cause_tick_ms(p->causes.get()));
            if (!p->file_note_said) {
                p->source.in.input.quiet_at_ms =
                    std::min(p->source.in.input.quiet_at_ms, p->line_came_ms + file_note_ms);
            }
        }
        std::string_view text;
        switch (next_line(&p->source, &text, reason, sizeof reason)) {
            case line_status::end:
                return 0;
            case line_status::quiet:
                watch_quiet(p);
                continue;
            case line_status::failed:
                complain_cannot_read(p->facts.file, reason);
                return 1;
            case line_status::too_long:
                if (!skip_bad_line(&p->facts, &p->source, p->source.number, text,
                                   "is longer than any line clockgap writes", p->o->strict)) {
                    return 1;
                }
                continue;
            case line_status::cut_short:
                // The monitor writes whole lines: this one was cut while the log was copied.
                complain("%s line %ld is cut short (no line end); skipped it", p->facts.file,
                         p->source.number);
                p->facts.cut_short_line = p->facts.lines + p->source.number;
                return 0;
            case line_status::line:
                if (p->causes != nullptr) {
                    p->line_came_ms = monotonic_ms();  // a watch's note of a file that waits
                }
                break;
        }
        note_nul_bytes(&p->source, &p->facts);
        report_row row;
        const int status =
            read_row(text, &row) ? (take_row(p, text, row) ? 0 : 1) : take_other_line(p, text);
        if (status != 0) {
            return status;
        }
    }
}

// Reads one file of the input to its end. Returns 0, or the status that ends the report.
int read_file(pipeline* p, const std::string& path) {
    const bool standard_input = path == "-";
    p->facts.file = standard_input ? "standard input" : path.c_str();
    char reason[160] = "";
    log_input input{};
    if (!open_log(standard_input ? nullptr : path.c_str(), &input, reason, sizeof reason)) {
        complain_cannot_read(p->facts.file, reason);
        return 1;
    }
    input.follow = p->o->follow;
    p->facts.files.push_back(log_facts::file_span{p->facts.lines + 1, p->facts.file});
    open_line_source(&p->source, input);
    if (p->causes != nullptr) {
        cause_input(p->causes.get(), input.fd);
    }
    if (!standard_input && !p->o->follow) {
        load_causes(path.c_str(), &p->book);
    } else {
        p->book.entries.clear();
    }
    // What is said once of a file is said again of the next.
    p->facts.not_a_log_said = false;
    p->facts.nul_bytes = 0;
    const int status = read_lines(p);
    if (p->source.in.damage[0] != '\0') {
        complain("%s: %s; the rows before it are counted", p->facts.file, p->source.in.damage);
    }
    p->facts.lines += p->source.number;
    // Damaged gzip data ends a file before its input has ended.
    const input_end ended = p->source.in.input.ended;
    p->facts.ended = ended == input_end::not_yet ? input_end::end_of_input : ended;
    close_log(&p->source.in.input);
    return status;
}

}  // namespace

int run_pipeline(const report_options& o, row_sink sink) {
    const auto p = std::make_unique<pipeline>();
    p->o = &o;
    p->sink = sink;
    std::vector<std::string> files;
    long days_not_read = 0;
    if (const int status = list_inputs(o.inputs, o.from_ms, o.to_ms, &files, &days_not_read);
        status != 0) {
        return status;
    }
    const std::string name = inputs_name(o.inputs);
    start_input(&p->input, o.from_ms, o.to_ms);
    start_thresholds(p.get(), -1);
    start_heat(&p->grid);
    start_silence(&p->silence, monotonic_ms());
    p->line_came_ms = monotonic_ms();
    if (o.follow) {
        p->causes = std::make_unique<cause_watch>();
        start_cause_watch(p->causes.get(), true, o.monitor_pid);
    }
    p->facts = log_facts{};
    p->facts.name = name.c_str();
    p->facts.input = &p->input;
    p->facts.ended = input_end::end_of_input;
    p->facts.follow = o.follow;
    p->facts.days_not_read = days_not_read;
    p->facts.several_files = several_inputs(o.inputs);
    if (sink.out != nullptr) {
        sink.out->facts = &p->facts;
    }
    for (const std::string& file : files) {
        if (const int status = read_file(p.get(), file); status != 0) {
            return status;
        }
        if (p->facts.ended != input_end::end_of_input) {
            break;  // Ctrl-C or SIGTERM: the files after it are not read
        }
    }
    if (p->causes != nullptr) {
        stop_cause_watch(p->causes.get());
    }
    finish_fold(&p->fold);
    note_unnamed_bad_lines(p->facts);
    return sink_finish(p.get(), report_figures{&p->fold, &p->grid, &p->rule, &p->facts});
}

namespace {

int run_opened(const report_options& o, outputs* out);

}  // namespace

int run_report(const report_options& o) {
    const auto out = std::make_unique<outputs>();
    // The outputs' files are checked before anything is read.
    int status = open_outputs(out.get(), o);
    if (status == 0) {
        status = run_opened(o, out.get());
    }
    close_outputs(out.get());  // what finish_outputs did not reach
    return status;
}

namespace {

int run_opened(const report_options& o, outputs* out) {
    ignore_broken_pipe();
    end_input_on_interrupt();
    if (o.monitor_ms < 0) {
        return run_pipeline(o, row_sink{out, nullptr});
    }
    // The monitor beside this program, its rows this watch's standard input.
    const std::string program = own_folder() + "/clockgap";
    const std::string period = std::to_string(o.monitor_ms);
    char reason[160] = "";
    const long pid = start_monitor(program.c_str(), period.c_str(), reason, sizeof reason);
    if (pid == 0) {
        complain("cannot start the monitor %s: %s", program.c_str(), reason);
        return 1;
    }
    const std::atomic<long> monitor_pid{pid};
    report_options with_monitor = o;
    with_monitor.monitor_pid = &monitor_pid;
    int status = run_pipeline(with_monitor, row_sink{out, nullptr});
    stop_monitor(pid, reason, sizeof reason);
    // A monitor that ended before the watch was asked to end is a failure: the watch
    // has no rows any more.
    if (reason[0] != '\0' && stop_signal() == 0) {
        complain("the monitor %s (pid %ld) %s; the watch ends", program.c_str(), pid, reason);
        status = status != 0 ? status : 1;
    }
    return status;
}

}  // namespace
