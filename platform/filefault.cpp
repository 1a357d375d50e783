// The fault-injection seam of the file layer, shared by every backend.
#include "file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace Platform::File::Fault
{
    namespace
    {
        std::int64_t remaining = 0;
        Action action = Action::Fail;
        bool reached = false;

        // TARROWIN_FAULT=k:fail or k:exit arms the seam for the whole run, so
        // tests can inject faults into programs they start.
        struct FromEnvironment
        {
            FromEnvironment()
            {
                const char* text = std::getenv("TARROWIN_FAULT");
                if (!text)
                    return;
                char* end = nullptr;
                const long long k = std::strtoll(text, &end, 10);
                if (k < 1 || !end || *end != ':')
                    return;
                if (std::strcmp(end + 1, "fail") == 0)
                    arm(k, Action::Fail);
                else if (std::strcmp(end + 1, "exit") == 0)
                    arm(k, Action::Exit);
                else if (std::strcmp(end + 1, "full") == 0)
                    arm(k, Action::DiskFull);
                else if (std::strcmp(end + 1, "fullcreate") == 0)
                    arm(k, Action::FullOnCreate);
                else if (std::strcmp(end + 1, "refuse") == 0)
                    arm(k, Action::Refuse);
            }
        };
        const FromEnvironment fromEnvironment;
    } // namespace

    namespace
    {
        std::vector<Record> records;
    } // namespace

    void startRecording()
    {
        records.clear();
        detail::recording = true;
    }

    std::vector<Record> stopRecording()
    {
        detail::recording = false;
        return std::move(records);
    }

    namespace detail
    {
        bool recording = false;
        void note(Record record) { records.push_back(std::move(record)); }

        bool armed = false;
        bool freeSpaceSet = false;
        std::int64_t freeSpaceValue = 0;
        std::int64_t counts[2] = {};

        int error = EIO;

        bool hit(Kind kind)
        {
            // A full disk strikes only writes of data (or new files), a
            // refusal only renames.
            if ((action == Action::DiskFull && kind != Kind::Write)
                || (action == Action::FullOnCreate && kind != Kind::Create)
                || (action == Action::Refuse && kind != Kind::Rename))
                return false;
            if (--remaining > 0)
                return false;
            armed = false;
            reached = true;
            if (action == Action::Exit)
                std::_Exit(ExitStatus);
            return true;
        }
    } // namespace detail

    void arm(std::int64_t k, Action a)
    {
        remaining = k;
        action = a;
        detail::error = a == Action::DiskFull || a == Action::FullOnCreate ? ENOSPC : a == Action::Refuse ? EPERM : EIO;
        reached = false;
        detail::armed = k >= 1;
    }

    void disarm()
    {
        detail::armed = false;
        remaining = 0;
    }

    bool fired() { return reached; }

    std::int64_t count(Counted kind) { return detail::counts[static_cast<int>(kind)]; }

    void resetCounts()
    {
        detail::counts[0] = 0;
        detail::counts[1] = 0;
    }

    void setFreeSpace(std::optional<std::int64_t> bytes)
    {
        detail::freeSpaceSet = bytes.has_value();
        detail::freeSpaceValue = bytes.value_or(0);
    }
} // namespace Platform::File::Fault
