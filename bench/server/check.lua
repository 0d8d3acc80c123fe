-- wrk script: update checks as the tools in the field send them. The agents
-- come in turn, three Windows 1.06, one Linux 1.06, one none (a 1.05 or
-- older tool), each with an X-Forwarded-For naming one of 256 networks of
-- 198.18.0.0/15 (the benchmarking range), so that a server behind a trusted
-- proxy at 127.0.0.1 decides a staged rollout for many networks. Answers
-- are sorted by their body's length: the release's (argument 1), the empty
-- reply a tool reads as "no newer version", anything else; done() prints
-- the counts so server_bench.sh can stop on a wrong answer.
--   wrk -t1 -c50 -d10s -s check.lua URL -- REPLY_BYTES

local agents = {
   "Pelvoran/1.06 (Windows)", "Pelvoran/1.06 (Linux)", "Pelvoran/1.06 (Windows)", nil,
   "Pelvoran/1.06 (Windows)",
}

local threads = {}

function setup(thread)
   table.insert(threads, thread)
end

function init(args)
   release_bytes = tonumber(args[1]) or -1
   offered, none, other = 0, 0, 0
   -- Built once: a request is then a table look-up.
   requests = {}
   for n = 0, 255 do
      local headers = { ["X-Forwarded-For"] = "198.18." .. n .. ".1" }
      headers["User-Agent"] = agents[n % 5 + 1]
      requests[n + 1] = wrk.format("GET", wrk.path, headers)
   end
   next_request = 0
end

function request()
   next_request = next_request % 256 + 1
   return requests[next_request]
end

function response(status, headers, body)
   if status == 200 and #body == release_bytes then
      offered = offered + 1
   elseif status == 200 and #body == 0 then
      none = none + 1
   else
      other = other + 1
   end
end

function done(summary, latency, requests)
   local o, n, x = 0, 0, 0
   for _, t in ipairs(threads) do
      o = o + t:get("offered")
      n = n + t:get("none")
      x = x + t:get("other")
   end
   io.write(string.format("check_offered %d\ncheck_none %d\ncheck_other %d\n", o, n, x))
end
