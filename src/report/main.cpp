// clockgap-report: a log written by clockgap as a summary, a JSON document, a clean CSV,
// a picture and a page, or a live watch with event lines, day files and a Prometheus file;
// all from one pass over its rows in memory that does not grow with it.
//
// Exit status: 0 done; 1 the log could not be read or holds no row of the monitor's, or
// an output could not be written (a day log or the metrics file lost something, the page
// could not be written, or standard output failed); 2 wrong usage, or a --log,
// --prometheus, --plot or --html name that can never be written; 3 the summary was
// printed but the picture was not drawn.
#include <cstdio>

#include "report/cli.h"
#include "report/fleet/fleet.h"
#include "report/pipeline/pipeline.h"

int main(int argc, char** argv) {
    report_options o;
    if (const int status = read_options(argc, argv, &o); status != 0) {
        return status;
    }
    if (o.help) {
        print_usage(stdout);
        return 0;
    }
    if (o.version) {
        print_version(stdout);
        return 0;
    }
    return o.fleet ? run_fleet(o) : run_report(o);
}
