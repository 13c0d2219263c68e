-- For wrk: asks for the paths listed one per line in the file named after
-- "--" on wrk's command line, in turn.
local paths = {}
local i = 0

function init(args)
  for line in io.lines(args[1]) do paths[#paths + 1] = line end
end

function request()
  i = i % #paths + 1
  return wrk.format("GET", paths[i])
end
