// The requests the metrics endpoint understands: a header block of HTTP/1.0
// or HTTP/1.1, method GET or HEAD, path /metrics or /.  Everything else is
// judged to an error status; nothing here touches a socket.
#pragma once

enum http_status {
    http_ok,                  // 200
    http_bad_request,         // 400: not an HTTP/1.x request
    http_not_found,           // 404
    http_method_not_allowed,  // 405
    http_header_too_large,    // 431
    http_internal_error,      // 500: the page did not fit its buffer
    http_statuses,
};

enum http_route {
    route_none,
    route_metrics,  // /metrics: the page
    route_index,    // /: a pointer to /metrics
};

struct http_verdict {
    http_status status;
    http_route route;  // route_none unless status is http_ok
    bool head_only;    // HEAD: the answer's head without its body
};

// Length of the header block at the start of `bytes` (n of them): up to and
// including the first CR LF CR LF.  0 when it has not ended yet; -1 when a
// zero byte comes first, which no request holds.
int http_header_block_length(const char* bytes, int n);

// Judges one whole header block of `length` bytes (as delimited above).
http_verdict http_request_judge(const char* block, int length);

int http_status_code(http_status status);            // 200, 400, ...
const char* http_status_phrase(http_status status);  // "OK", "Bad Request", ...
