-- wrk script: each request posts one short comment (four Chinese characters,
-- GBK bytes percent-escaped) to the comment endpoint. Only 200 answers
-- count as comments taken; done() prints them beside the other statuses so
-- server_bench.sh can compute durable comments per second.
--   wrk -t1 -c16 -d10s -s comment.lua http://127.0.0.1:PORT/Canon/comment.asp

wrk.method = "POST"
wrk.body = "CommentText=%BE%B5%CD%B7%BA%DC%BA%C3"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"

local threads = {}

function setup(thread)
   table.insert(threads, thread)
end

function init(args)
   ok = 0
   other = 0
end

function response(status, headers, body)
   if status == 200 then
      ok = ok + 1
   else
      other = other + 1
   end
end

function done(summary, latency, requests)
   local total_ok, total_other = 0, 0
   for _, thread in ipairs(threads) do
      total_ok = total_ok + thread:get("ok")
      total_other = total_other + thread:get("other")
   end
   local seconds = summary.duration / 1e6
   io.write(string.format("comment_200 %d\n", total_ok))
   io.write(string.format("comment_other %d\n", total_other))
   io.write(string.format("comment_seconds %.3f\n", seconds))
   io.write(string.format("comment_200_per_s %.1f\n", total_ok / seconds))
   io.write(string.format("comment_p50_ms %.2f\n", latency:percentile(50) / 1000))
   io.write(string.format("comment_p99_ms %.2f\n", latency:percentile(99) / 1000))
end
