local function f(x) return x + 1 end
local i = 0
while i < 1000000 do i = f(i) end
