-- wrk: each thread (run with as many threads as connections) sends the
-- Cookie header of a session of its own, read from the file named by
-- TALVERIN_LOAD_COOKIES, and counts every answer that is not the site page.
local cookies = {}
for line in io.lines(os.getenv("TALVERIN_LOAD_COOKIES")) do
  if line ~= "" then cookies[#cookies + 1] = line end
end
local page = "PUBSITE page=" .. (os.getenv("TALVERIN_LOAD_URL") or "/owa/inbox.html") .. "\n"
local threads = {}

function setup(thread)
  local n = #threads + 1
  assert(cookies[n], "fewer sessions than threads")
  thread:set("cookie", cookies[n])
  threads[n] = thread
end

function init(args)
  wrk.headers["Cookie"] = cookie
  good, bad, first = 0, 0, ""
end

function response(status, headers, body)
  if status == 200 and body and body:find(page, 1, true) then
    good = good + 1
  else
    bad = bad + 1
    if first == "" then first = status .. " " .. string.sub(body or "", 1, 120):gsub("[\r\n]", " ") end
  end
end

function done(summary, latency, requests)
  local good, bad, first = 0, 0, ""
  for _, thread in ipairs(threads) do
    good = good + thread:get("good")
    bad = bad + thread:get("bad")
    if first == "" then first = thread:get("first") end
  end
  local e = summary.errors
  io.write(string.format(
    "LOAD requests=%d seconds=%.2f good=%d bad=%d connect=%d read=%d write=%d status=%d timeout=%d " ..
    "mean_ms=%.2f p99_ms=%.2f\n", summary.requests, summary.duration / 1e6, good, bad, e.connect, e.read, e.write,
    e.status, e.timeout, latency.mean / 1000, latency:percentile(99) / 1000))
  if first ~= "" then io.write("LOAD first bad answer: " .. first .. "\n") end
end
