#pragma once

// What the share server keeps for a request between the library's calls (its con_cls): a
// download's bookkeeping or an upload in progress.
struct ConnectionState
{
    virtual ~ConnectionState() = default;
};
