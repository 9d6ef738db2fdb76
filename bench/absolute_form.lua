-- wrk has no proxy option: it is pointed at the proxy's own address, and this
-- script makes every request carry the absolute-form target a client sends
-- to a forward proxy, e.g. "GET http://127.0.0.1:18100/1k HTTP/1.1".
-- The target comes from the environment: BENCH_TARGET=http://HOST:PORT/PATH
local target = os.getenv("BENCH_TARGET")
if not target then
  error("set BENCH_TARGET to the absolute URL to request")
end
wrk.path = target
wrk.headers["Host"] = target:match("^http://([^/]+)")
