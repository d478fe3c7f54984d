// Appends one job to DIR/JobStats.csv and reads it back. Exit 0 when the job
// came back as written.
#include <cstdio>
#include <cstdlib>
#include <ios>
#include <string>

#include <IdxReports/Reports/JobStatsReport.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer DIR\n");
        return 2;
    }
    const std::string directory = argv[1];

    I2::JobStatsRecord job;
    job.SetJobId(4242);
    job.SetHostname("consumer-host");
    job.SetSecondsToPlayback(1.5);
    {
        I2::JobStatsReport report;
        CQiError error = report.Open(directory, I2::JobStatsReport::FileName, std::ios::out | std::ios::app);
        if (!error.IsError()) error = report.AddJobStats(job);
        if (!error.IsError()) error = report.Close();
        if (error.IsError()) {
            std::fprintf(stderr, "consumer: %s\n", error.Describe().c_str());
            return 1;
        }
    }

    I2::JobStatsReport report;
    I2::JobStatsReport::DataFrame_t rows;
    CQiError error = report.Open(directory, I2::JobStatsReport::FileName, std::ios::in);
    if (!error.IsError()) error = report.LoadAll(rows);
    if (error.IsError()) {
        std::fprintf(stderr, "consumer: %s\n", error.Describe().c_str());
        return 1;
    }
    if (rows.empty() || rows.back().GetJobId() != 4242 || rows.back().GetHostname() != "consumer-host" ||
        rows.back().GetTimestamp() != job.GetTimestamp()) {
        std::fprintf(stderr, "consumer: the job did not read back as written\n");
        return 1;
    }
    std::printf("consumer: job %llu read back from %s\n", rows.back().GetJobId(), report.GetPath().c_str());
    return 0;
}
