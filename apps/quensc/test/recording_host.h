/* A host record for in-process tests: it keeps every line the module logs
 * (file, line, level, text) so tests can check exact texts, gives the module
 * a pool, and installs itself as the log host for its lifetime. Its fatal
 * call prints the kept lines and the expression to stderr and exits with
 * code 3, so a death test can see what was logged before a panic. */
#ifndef QUENSC_TEST_RECORDING_HOST_H
#define QUENSC_TEST_RECORDING_HOST_H

#include "host.h"
#include "frame/log.h"

#include <apr_general.h>
#include <apr_pools.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

struct RecordedLine {
    std::string file;
    int line;
    int level;
    std::string text;
};

class RecordingHost {
public:
    RecordingHost()
    {
        static const bool initialised = apr_initialize() == APR_SUCCESS;
        (void)initialised;
        apr_pool_create(&pool_, nullptr);
        process_.pool = pool_;
        server_.process = &process_;
        server_.log = &RecordingHost::Log;
        server_.fatal = &RecordingHost::Fatal;
        current_ = this;
        QuenScSetLogHost(&server_);
    }
    ~RecordingHost()
    {
        QuenScSetLogHost(nullptr);
        current_ = nullptr;
        apr_pool_destroy(pool_);
    }
    RecordingHost(const RecordingHost &) = delete;
    RecordingHost &operator=(const RecordingHost &) = delete;

    QuenScHostServer *server() { return &server_; }
    apr_pool_t *pool() const { return pool_; }

    std::vector<RecordedLine> Lines() const
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return lines_;
    }
    /* The texts of the kept lines, in order. */
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const RecordedLine &l : Lines())
            texts.push_back(l.text);
        return texts;
    }
    /* All texts joined with line breaks. */
    std::string All() const
    {
        std::string all;
        for (const std::string &t : Texts())
            all += t + "\n";
        return all;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.clear();
    }

private:
    static void Log(void *host, const char *file, int line, int level, const char *text)
    {
        RecordingHost *self = current_;
        if (!self || host != &self->server_)
            return;
        std::lock_guard<std::mutex> hold(self->mutex_);
        self->lines_.push_back(RecordedLine{file, line, level, text});
    }
    static void Fatal(const char *expr, const char *file, int line)
    {
        if (current_)
            for (const RecordedLine &l : current_->lines_)
                fprintf(stderr, "logged %d: %s\n", l.level, l.text.c_str());
        fprintf(stderr, "fatal %s at %s:%d\n", expr, file, line);
        fflush(stderr);
        _Exit(3);
    }

    static inline RecordingHost *current_ = nullptr;
    apr_pool_t *pool_ = nullptr;
    QuenScHostProcess process_{};
    QuenScHostServer server_{};
    mutable std::mutex mutex_;
    std::vector<RecordedLine> lines_;
};

#endif
