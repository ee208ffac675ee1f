function image = synthetic_picture(n)
  %SYNTHETIC_PICTURE A synthetic N x N test picture with values in [0, 1]: rings,
  %   a checkerboard quadrant and a bright square, so that resampling shows.
  [c, r] = meshgrid(0:n-1, 0:n-1);
  u = (c - n / 2) / n; v = (r - n / 2) / n;
  image = 0.5 + 0.5 * cos(40 * sqrt(u.^2 + v.^2));
  board = mod(floor(c / (n / 16)) + floor(r / (n / 16)), 2);
  quadrant = c < n / 2 & r < n / 2;
  image(quadrant) = 0.2 + 0.6 * board(quadrant);
  image(r > 0.6 * n & r < 0.8 * n & c > 0.6 * n & c < 0.8 * n) = 1;
end
