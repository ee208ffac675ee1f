function varargout = linscore(varargin)
%LINSCORE Standardise features and return one linear score per sample.
%   S = LINSCORE(X, MEAN, SCALE, W) scores every column of X. X is an M x N
%   real double matrix whose rows are features and whose columns are
%   samples. Each feature i of sample j is standardised as
%   Z(i, j) = (X(i, j) - MEAN(i)) / SCALE(i), and the score of sample j is
%
%     S(j) = (((0 + W(1)*Z(1,j)) + W(2)*Z(2,j)) + ... + W(M)*Z(M,j)) + W(M+1)
%
%   summed strictly from left to right, one running sum per sample starting
%   at +0, with the bias W(M+1) added last. Every operation is a separately
%   rounded IEEE double operation (a true division, no fused multiply-add),
%   so every build returns the same bits.
%
%   Inputs
%     X      real double M x N matrix: M features (rows), N samples (columns).
%     MEAN   real double array with at least M elements; element i is the
%            mean of feature i. Its shape is not used.
%     SCALE  real double array with at least M elements; element i divides
%            feature i. Zero and negative scales are allowed: the division
%            follows IEEE rules (x/0 is +-Inf, 0/0 is NaN).
%     W      real double array with at least M+1 elements: W(1:M) are the
%            weights, W(M+1) is the bias. Further elements are ignored.
%
%   Output
%     S      real double N x 1 column; S(j) is the score of sample j. With
%            M = 0 every score is the bias (a bias of -0 gives +0); with
%            N = 0, S is 0 x 1. Infinities and NaNs propagate by IEEE rules.
%
%   Example
%     X = [1 2 3; 10 20 30];             % 2 features, 3 samples
%     s = linscore(X, [1 10], [1 10], [100 1 0.5])
%     % s = [0.5; 101.5; 202.5]
%
%   Errors
%     "Too many output arguments"     more than one output requested.
%     "incorrect number of inputs!"   not exactly four inputs.
%     linscore:notRealDouble   an input is not a real, full double array.
%     linscore:tooFewElements  MEAN or SCALE has fewer than M elements, or W
%                              fewer than M+1, while X has samples.
%     linscore:tooLarge        M, N or M*N exceeds 2^31 - 1.
%
%   See also BSXFUN, MTIMES.

% Runs only when no compiled linscore module comes before this file on the path
% (in one folder the module takes precedence over this file).
error('bitexact:moduleNotFound', ...
      ['linscore: the compiled module was not found on the path. Build it with ' ...
       'bitexact_make(outdir) from the toolbox folder and addpath(outdir), ' ...
       'or in Octave install the package (pkg install bitexact-<version>.tar.gz) ' ...
       'and pkg load bitexact.']);
end
